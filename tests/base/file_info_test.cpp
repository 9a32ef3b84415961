#include <gtest/gtest.h>

#include <windows.h>

#include "base/exception.h"
#include "base/file_info.h"
#include "base/text.h"
#include "support/event_capture.h"
#include "support/scratch.h"

TEST(FileInfo, NameSizeAttributesWriteTimeToTheMillisecondAndExistence) {
    Testing::ScratchFolder folder;
    const std::wstring path = folder.WriteFile(L"module.dll", std::string(1234, 'a'));
    constexpr uint64_t kUnixEpoch = 116444736000000000ULL;
    for (const auto& [ticks, expected] : {std::pair<uint64_t, int64_t>{19000, 10000}, {1234567890123, 1234567890000}}) {
        ASSERT_TRUE(Testing::SetWriteTime(path, kUnixEpoch + ticks));
        EXPECT_EQ(GetFileInfo(path).lastWriteTime, expected);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN);
    const FileInfo info = GetFileInfo(path);
    EXPECT_EQ(info.name, L"module.dll");
    EXPECT_EQ(info.size, 1234u);
    EXPECT_TRUE(!info.isDirectory && info.isHidden && !info.isSystem);
    EXPECT_TRUE(GetFileInfo(folder.Path()).isDirectory);

    Testing::EventCapture capture;
    const std::wstring missing = folder.File(L"missing.dll");
    try {
        GetFileInfo(missing);
        FAIL() << "no exception";
    } catch (const Base::ExceptionWin32& e) {
        EXPECT_EQ(e.Code(), 2u);
    }
    EXPECT_TRUE(capture.Contains(L"Failed to determine file info for path [" + missing + L"] error [2]"));

    // Existence tells files, folders, missing and invalid paths apart.
    const std::wstring file = folder.WriteFile(L"a.txt", "x");
    EXPECT_TRUE(FileExists(file) && !DirectoryExists(file));
    EXPECT_TRUE(!FileExists(folder.Path()) && DirectoryExists(folder.Path()));
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

TEST(Paths, JoinCollapsesBackslashRunsButALeadingPairSplitKeepsPiecesAndNoBestFit) {
    const std::pair<std::wstring, std::wstring> joined[] = {
        {JoinPath(L"C:\\Program Files\\Citrix\\", L"kxclient.dll"), L"C:\\Program Files\\Citrix\\kxclient.dll"},
        {JoinPath(L"C:\\a", L"b"), L"C:\\a\\b"},
        {JoinPath(L"\\\\server\\share\\\\x", L"\\y"), L"\\\\server\\share\\x\\y"},
        {JoinPath(L"\\\\?\\C:\\a\\", L"b"), L"\\\\?\\C:\\a\\b"},
        {JoinPath(L"\\\\\\x", L"y"), L"\\\\x\\y"},
        {JoinPath(L"\\x", L"y"), L"\\x\\y"},
        {JoinPath(L"", L""), L"\\"},
    };
    for (const auto& [actual, expected] : joined) EXPECT_EQ(actual, expected);
    EXPECT_EQ(SplitPath(L"C:\\\\a\\b\\"), (std::vector<std::wstring>{L"C:", L"a", L"b"}));
    EXPECT_EQ(SplitPath(L"name"), (std::vector<std::wstring>{L"name"}));
    EXPECT_TRUE(SplitPath(L"\\\\\\").empty());
    EXPECT_TRUE(SplitPath(L"").empty());
    // Converting to the code page: best fit would make U+0100 "A", which could match a different name.
    CPINFO info;
    ASSERT_TRUE(GetCPInfo(GetConsoleCP(), &info));
    ASSERT_EQ(info.MaxCharSize, 1u) << "code page " << GetConsoleCP();
    EXPECT_EQ(ToNarrow(L"x\u0100y"), std::string("x") + static_cast<char>(info.DefaultChar[0]) + "y");
    EXPECT_EQ(ToWide(ToNarrow(L"plain text")), L"plain text");
    EXPECT_EQ(ToNarrow(L""), "");
}
