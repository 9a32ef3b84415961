#include <gtest/gtest.h>

#include "registration/client_module.h"
#include "registration_fixture.h"
#include "support/event_capture.h"
#include "support/scratch.h"

using Fixture::Installation;

TEST(FindClientModule, ReadsEachBuildFromItsOwnViewOrAnswersEmpty) {
    Installation fixture;
    Testing::EventCapture capture;
    EXPECT_EQ(FindClientModule(32, false), L"");
    EXPECT_TRUE(capture.Contains(L"Failed to find Veltrastone 32-bit client path within the registry"));
    fixture.RegisterModule(32);
    fixture.RegisterModule(64);
    EXPECT_EQ(FindClientModule(32, true), fixture.Module(32));
    EXPECT_EQ(FindClientModule(64, true), fixture.Module(64));
    // A file that is gone counts only where it must exist; an expandable string is used as stored.
    const std::wstring gone = fixture.Root() + L"\\gone\\kxclient.dll";
    fixture.RegisterModulePath(32, gone);
    EXPECT_EQ(FindClientModule(32, false), gone);
    EXPECT_EQ(FindClientModule(32, true), L"");
    fixture.RegisterModulePath(64, L"%ProgramFiles%\\kxclient.dll", REG_EXPAND_SZ);
    EXPECT_EQ(FindClientModule(64, false), L"%ProgramFiles%\\kxclient.dll");
    // The key without its default value, then a default value of another type.
    Fixture::DeleteKey(Fixture::kView64, Fixture::kModuleKey);
    Fixture::SetDword(Fixture::kView64, Fixture::kModuleKey, L"other", 1);
    EXPECT_EQ(FindClientModule(64, false), L"");
    EXPECT_TRUE(capture.Contains(L"Failed to read Veltrastone 64-bit client path"));
    Fixture::SetDword(Fixture::kView64, Fixture::kModuleKey, L"", 7);
    EXPECT_EQ(FindClientModule(64, false), L"");
    EXPECT_TRUE(capture.Contains(L"Failed to open Veltrastone 64-bit client" + Fixture::kNotAString));
}

// Write times count in whole milliseconds: the source lies 0.9999 ms past a
// whole second, so a destination 0.9 ms older is as new as the source.
TEST(ShouldReplaceRule, SizeThenWriteTimeInWholeMillisecondsDecide) {
    constexpr int64_t kSecond = 10000000;
    Testing::ScratchFolder folder;
    const std::wstring source = folder.WriteFile(L"source.dll", "module bytes");
    const std::wstring destination = folder.File(L"destination.dll");
    constexpr uint64_t kSourceTime = 133590447070000000 + 9999;  // 2024-05-01 13:45:07.0009999
    ASSERT_TRUE(Testing::SetWriteTime(source, kSourceTime));
    const struct {
        const char* bytes;  // of the destination; null: missing
        int64_t shift;      // of its write time against the source's
        bool replace;
    } rows[] = {
        {nullptr, 0, true},         {"other", 3600 * kSecond, true},  {"module bytes", -kSecond, true},
        {"module bytes", 0, false}, {"module bytes", kSecond, false}, {"module bytes", -9000, false},
    };
    for (const auto& row : rows) {
        DeleteFileW(destination.c_str());
        if (row.bytes) {
            folder.WriteFile(L"destination.dll", row.bytes);
            ASSERT_TRUE(Testing::SetWriteTime(destination, kSourceTime + row.shift));
        }
        EXPECT_EQ(ShouldReplace(source, destination), row.replace) << (row.bytes ? row.bytes : "missing") << row.shift;
    }
    EXPECT_TRUE(ShouldReplace(source, folder.File(L"no\\such\\folder\\kxclient.dll")));
    // Never onto a destination that cannot be examined, nor from a missing source.
    Testing::EventCapture capture;
    EXPECT_FALSE(ShouldReplace(source, folder.File(L"bad|name<>.dll")));
    EXPECT_EQ(capture.Count(L"should NOT replace source [" + source + L"] due to error ["), 1u);
    DeleteFileW(source.c_str());
    EXPECT_FALSE(ShouldReplace(source, destination));
}

TEST(UpdateCleanupList, AppendsEachCopyOnceAndLeavesAWrongTypeAlone) {
    Installation fixture;
    const std::wstring first = L"C:\\WorkSpaces\\vchan_plugins\\kxclient.dll";
    const std::wstring second = L"D:\\Other\\vchan_plugins\\kxclient.dll";
    Fixture::SetString(0, Fixture::kCleanupKey, Fixture::kCleanupValue, L"");
    for (const std::wstring& path : {first, first, second, first, second}) UpdateCleanupList(path);
    EXPECT_EQ(Fixture::CleanupList(), first + L";" + second);
    Fixture::SetDword(0, Fixture::kCleanupKey, Fixture::kCleanupValue, 3);
    Testing::EventCapture capture;
    UpdateCleanupList(first);
    EXPECT_TRUE(capture.Contains(L"Unexpected error setting Amazon WorkSpaces cleanup" + Fixture::kNotAString));
    EXPECT_EQ(Fixture::CleanupList(), L"<missing>");
}
