#include <gtest/gtest.h>

#include <windows.h>

#include "base/exception.h"
#include "base/file_info.h"
#include "base/text.h"
#include "support/event_capture.h"
#include "support/scratch.h"

namespace {
void SetLastWrite(const std::wstring& path, uint64_t fileTime) {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME time{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);
}
constexpr uint64_t kUnixEpoch = 116444736000000000ULL;
}  // namespace

TEST(GetFileInfo, ReadsSizeNameAndAttributes) {
    Testing::ScratchFolder folder;
    const std::wstring path = folder.WriteFile(L"module.dll", std::string(1234, 'a'));
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN);
    const FileInfo info = GetFileInfo(path);
    EXPECT_EQ(info.name, L"module.dll");
    EXPECT_EQ(info.size, 1234u);
    EXPECT_FALSE(info.isDirectory);
    EXPECT_TRUE(info.isHidden);
    EXPECT_FALSE(info.isSystem);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(GetFileInfo(folder.Path()).isDirectory);
}

TEST(GetFileInfo, LastWriteTimeIsCutToWholeMilliseconds) {
    Testing::ScratchFolder folder;
    const std::wstring path = folder.WriteFile(L"old.bin", "x");
    SetLastWrite(path, kUnixEpoch + 19000);  // 1970-01-01 00:00:00.0019
    EXPECT_EQ(GetFileInfo(path).lastWriteTime, 10000);
    SetLastWrite(path, kUnixEpoch + 1234567890123ULL);
    EXPECT_EQ(GetFileInfo(path).lastWriteTime, 1234567890000LL);
}

TEST(GetFileInfo, MissingFileIsLoggedAndThrown) {
    Testing::EventCapture capture;
    Testing::ScratchFolder folder;
    const std::wstring path = folder.File(L"missing.dll");
    try {
        GetFileInfo(path);
        FAIL() << "no exception";
    } catch (const Base::ExceptionWin32& e) {
        EXPECT_EQ(e.Code(), 2u);
    }
    EXPECT_TRUE(capture.Contains(L"Failed to determine file info for path [" + path + L"] error [2]"));
}

TEST(FileExists, DistinguishesFilesFoldersMissingAndInvalidPaths) {
    Testing::ScratchFolder folder;
    const std::wstring file = folder.WriteFile(L"a.txt", "x");
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(DirectoryExists(file));
    EXPECT_FALSE(FileExists(folder.Path()));
    EXPECT_TRUE(DirectoryExists(folder.Path()));
    EXPECT_FALSE(FileExists(folder.File(L"none.txt")));
    EXPECT_FALSE(FileExists(folder.File(L"no\\parent.txt")));       // error 3
    EXPECT_FALSE(DirectoryExists(folder.File(L"no\\parent\\dir")));  // error 3
    for (auto check : {&Base::FileExists, &Base::DirectoryExists}) {
        try {
            check(folder.File(L"bad<name>.txt"));
            FAIL() << "no exception";
        } catch (const Base::ExceptionWin32& e) {
            EXPECT_EQ(e.Code(), 123u);
        }
    }
}

TEST(JoinPath, CollapsesRunsOfBackslashesButALeadingPair) {
    EXPECT_EQ(JoinPath(L"C:\\Program Files\\Citrix\\", L"kxclient.dll"), L"C:\\Program Files\\Citrix\\kxclient.dll");
    EXPECT_EQ(JoinPath(L"C:\\a", L"b"), L"C:\\a\\b");
    EXPECT_EQ(JoinPath(L"\\\\server\\share\\\\x", L"\\y"), L"\\\\server\\share\\x\\y");
    EXPECT_EQ(JoinPath(L"\\\\?\\C:\\a\\", L"b"), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(JoinPath(L"\\\\\\x", L"y"), L"\\\\x\\y");
    EXPECT_EQ(JoinPath(L"\\x", L"y"), L"\\x\\y");
    EXPECT_EQ(JoinPath(L"", L""), L"\\");
}

TEST(SplitPath, KeepsNonEmptyPiecesInOrder) {
    EXPECT_EQ(SplitPath(L"C:\\\\a\\b\\"), (std::vector<std::wstring>{L"C:", L"a", L"b"}));
    EXPECT_EQ(SplitPath(L"name"), (std::vector<std::wstring>{L"name"}));
    EXPECT_TRUE(SplitPath(L"\\\\\\").empty());
    EXPECT_TRUE(SplitPath(L"").empty());
}

TEST(TextConversion, ACharacterTheCodePageLacksIsNotBestFitted) {
    // U+0100 has no place in a single-byte console code page; best fit would
    // make it "A", which could match a different name.
    CPINFO info;
    ASSERT_TRUE(GetCPInfo(GetConsoleCP(), &info));
    ASSERT_EQ(info.MaxCharSize, 1u) << "code page " << GetConsoleCP();
    EXPECT_EQ(ToNarrow(L"x\u0100y"), std::string("x") + static_cast<char>(info.DefaultChar[0]) + "y");
    EXPECT_EQ(ToWide(ToNarrow(L"plain text")), L"plain text");
    EXPECT_EQ(ToNarrow(L""), "");
}
