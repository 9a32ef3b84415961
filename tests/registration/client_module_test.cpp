// The module lookup, the replacement rule and the cleanup list against the
// real registry (both views) and real files.

#include <gtest/gtest.h>

#include "registration/client_module.h"
#include "registration_fixture.h"
#include "support/event_capture.h"

using Fixture::Installation;

namespace {
constexpr int64_t kSecond = 10000000;
}

TEST(FindClientModule, ReadsEachBuildFromItsOwnRegistryView) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.RegisterModule(64);
    Testing::EventCapture capture;
    EXPECT_EQ(FindClientModule(32, true), fixture.Module(32));
    EXPECT_EQ(FindClientModule(64, true), fixture.Module(64));
    EXPECT_TRUE(capture.Contains(L"Found Veltrastone 32-bit client path [" + fixture.Module(32) + L"]"));
    EXPECT_TRUE(capture.Contains(L"Found Veltrastone 64-bit client path [" + fixture.Module(64) + L"]"));
}

TEST(FindClientModule, MissingRegistrationAnswersEmptyWithTheBitnessText) {
    Installation fixture;
    fixture.RegisterModule(64);
    Testing::EventCapture capture;
    EXPECT_EQ(FindClientModule(32, false), L"");
    EXPECT_TRUE(capture.Contains(L"Failed to find Veltrastone 32-bit client path within the registry"));
    // The key without its default value.
    Fixture::DeleteKey(Fixture::kView64, Fixture::kModuleKey);
    Fixture::SetDword(Fixture::kView64, Fixture::kModuleKey, L"other", 1);
    EXPECT_EQ(FindClientModule(64, false), L"");
    EXPECT_TRUE(capture.Contains(L"Failed to read Veltrastone 64-bit client path"));
}

TEST(FindClientModule, ExpandableStringIsUsedAsStored) {
    Installation fixture;
    fixture.RegisterModulePath(64, L"%ProgramFiles%\\Veltrastone\\kxclient.dll", REG_EXPAND_SZ);
    EXPECT_EQ(FindClientModule(64, false), L"%ProgramFiles%\\Veltrastone\\kxclient.dll");
}

TEST(FindClientModule, MissingFileCountsOnlyWhenItMustExist) {
    Installation fixture;
    const std::wstring gone = fixture.Root() + L"\\gone\\kxclient.dll";
    fixture.RegisterModulePath(32, gone);
    Testing::EventCapture capture;
    EXPECT_EQ(FindClientModule(32, false), gone);
    EXPECT_EQ(FindClientModule(32, true), L"");
    EXPECT_TRUE(capture.Contains(L"Found Veltrastone 32-bit client path [" + gone + L"] but file was not found"));
}

TEST(FindClientModule, WrongValueTypeIsLoggedAndAnsweredEmpty) {
    Installation fixture;
    Fixture::SetDword(Fixture::kView64, Fixture::kModuleKey, L"", 7);
    Testing::EventCapture capture;
    EXPECT_EQ(FindClientModule(64, false), L"");
    EXPECT_TRUE(capture.Contains(L"Failed to open Veltrastone 64-bit client error [Unable to convert STRING registry "
                                 L"value]"));
}

class ShouldReplaceRule : public ::testing::Test {
protected:
    void SetUp() override {
        source = fixture.Root() + L"\\source.dll";
        destination = fixture.Root() + L"\\destination.dll";
        Fixture::WriteBytes(source, "module bytes");
        Fixture::WriteBytes(destination, "module bytes");
    }
    Installation fixture;
    std::wstring source;
    std::wstring destination;
};

TEST_F(ShouldReplaceRule, MissingDestinationIsReplaced) {
    DeleteFileW(destination.c_str());
    EXPECT_TRUE(ShouldReplace(source, destination));
    EXPECT_TRUE(ShouldReplace(source, fixture.Root() + L"\\no\\such\\folder\\kxclient.dll"));
}

TEST_F(ShouldReplaceRule, MissingSourceIsNeverCopied) {
    DeleteFileW(source.c_str());
    Testing::EventCapture capture;
    EXPECT_FALSE(ShouldReplace(source, destination));
    DeleteFileW(destination.c_str());
    EXPECT_FALSE(ShouldReplace(source, destination));
    EXPECT_TRUE(capture.Contains(L"Destination file [" + destination + L"] should not replace source [" + source +
                                 L"] since source does not exist"));
}

TEST_F(ShouldReplaceRule, DifferentSizeIsReplacedEvenWhenNewer) {
    Fixture::WriteBytes(destination, "other");
    ASSERT_TRUE(Fixture::CopyWriteTime(source, destination, 3600 * kSecond));
    Testing::EventCapture capture;
    EXPECT_TRUE(ShouldReplace(source, destination));
    EXPECT_TRUE(capture.Contains(L"Destination file [" + destination + L"] size [5] should replace source [" + source +
                                 L"] size [12] since file sizes differ"));
}

TEST_F(ShouldReplaceRule, SameSizeComparesWriteTimesToTheMillisecond) {
    ASSERT_TRUE(Fixture::CopyWriteTime(source, destination, -kSecond));
    EXPECT_TRUE(ShouldReplace(source, destination));  // one second older
    ASSERT_TRUE(Fixture::CopyWriteTime(source, destination, 0));
    EXPECT_FALSE(ShouldReplace(source, destination));  // equal
    ASSERT_TRUE(Fixture::CopyWriteTime(source, destination, kSecond));
    EXPECT_FALSE(ShouldReplace(source, destination));  // newer
    // Source 0.9999 ms past a whole second, destination 0.9 ms older: the same millisecond.
    FILETIME boundary;
    SYSTEMTIME st = {2024, 5, 3, 1, 13, 45, 7, 0};
    SystemTimeToFileTime(&st, &boundary);
    HANDLE file = CreateFileW(source.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ULARGE_INTEGER t;
    t.LowPart = boundary.dwLowDateTime;
    t.HighPart = boundary.dwHighDateTime;
    t.QuadPart += 9999;  // 0.9999 ms past the second
    FILETIME sourceTime{t.LowPart, t.HighPart};
    SetFileTime(file, nullptr, nullptr, &sourceTime);
    CloseHandle(file);
    ASSERT_TRUE(Fixture::CopyWriteTime(source, destination, -9000));  // 0.9 ms older, same millisecond
    Testing::EventCapture capture;
    EXPECT_FALSE(ShouldReplace(source, destination));
    EXPECT_TRUE(capture.Contains(L"Destination file [" + destination +
                                 L"] timestamp [2024-05-01T13:45:07Z] size [12] should NOT replace source [" + source +
                                 L"] timestamp [2024-05-01T13:45:07Z] size [12]"));
    ASSERT_TRUE(Fixture::CopyWriteTime(source, destination, -kSecond));
    EXPECT_TRUE(ShouldReplace(source, destination));
    EXPECT_TRUE(capture.Contains(L"Destination file [" + destination +
                                 L"] timestamp [2024-05-01T13:45:06Z] should replace source [" + source +
                                 L"] timestamp [2024-05-01T13:45:07Z] since source is newer"));
}

TEST_F(ShouldReplaceRule, DestinationThatCannotBeExaminedIsKept) {
    const std::wstring unreadable = fixture.Root() + L"\\bad|name<>.dll";
    Testing::EventCapture capture;
    EXPECT_FALSE(ShouldReplace(source, unreadable));
    bool dueToError = false;
    for (const auto& line : capture.Messages()) {
        if (line.find(L"should NOT replace source [" + source + L"] due to error [") != std::wstring::npos) {
            dueToError = true;
        }
    }
    EXPECT_TRUE(dueToError);
}

TEST(UpdateCleanupList, AppendsEachCopyOnceSeparatedBySemicolons) {
    Installation fixture;
    const std::wstring first = L"C:\\WorkSpaces\\vchan_plugins\\kxclient.dll";
    const std::wstring second = L"D:\\Other\\vchan_plugins\\kxclient.dll";
    Testing::EventCapture capture;
    UpdateCleanupList(first);
    EXPECT_EQ(Fixture::StringOr(0, Fixture::kCleanupKey, Fixture::kCleanupValue), first);
    EXPECT_TRUE(capture.Contains(L"Setting Amazon WorkSpaces cleanup file [" + first + L"]"));
    UpdateCleanupList(first);
    EXPECT_TRUE(capture.Contains(L"Not updating Amazon WorkSpaces cleanup file [" + first + L"] since exists in [" +
                                 first + L"]"));
    UpdateCleanupList(second);
    UpdateCleanupList(first);
    UpdateCleanupList(second);
    EXPECT_EQ(Fixture::StringOr(0, Fixture::kCleanupKey, Fixture::kCleanupValue), first + L";" + second);
    EXPECT_TRUE(capture.Contains(L"Updating Amazon WorkSpaces cleanup file [" + second + L"] previous [" + first +
                                 L"] updated [" + first + L";" + second + L"]"));
}

TEST(UpdateCleanupList, EmptyListIsReplacedAndWrongTypeIsLeftAlone) {
    Installation fixture;
    Fixture::SetString(0, Fixture::kCleanupKey, Fixture::kCleanupValue, L"");
    UpdateCleanupList(L"C:\\a\\kxclient.dll");
    EXPECT_EQ(Fixture::StringOr(0, Fixture::kCleanupKey, Fixture::kCleanupValue), L"C:\\a\\kxclient.dll");
    Fixture::SetDword(0, Fixture::kCleanupKey, Fixture::kCleanupValue, 3);
    Testing::EventCapture capture;
    UpdateCleanupList(L"C:\\b\\kxclient.dll");
    EXPECT_TRUE(capture.Contains(L"Unexpected error setting Amazon WorkSpaces cleanup error [Unable to convert STRING "
                                 L"registry value]"));
    EXPECT_EQ(Fixture::StringOr(0, Fixture::kCleanupKey, Fixture::kCleanupValue), L"<missing>");
}
