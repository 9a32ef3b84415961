#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <type_traits>

#include "base/exception.h"

namespace {
// The platform's own text for a code, read without the code under test.
std::string SystemText(DWORD code, DWORD language = 0, bool trimmed = true) {
    char buffer[4096] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, language, buffer,
                   sizeof(buffer), nullptr);
    std::string text = buffer;
    if (trimmed) {
        text.erase(0, text.find_first_not_of(" \t\r\n\v\f"));
        text.erase(text.find_last_not_of(" \t\r\n\v\f") + 1);
    }
    return text;
}
}  // namespace

TEST(ExceptionTexts, MessageDashTrimmedSystemTextAndCode) {
    ASSERT_FALSE(SystemText(5).empty());
    const std::pair<std::string, std::string> texts[] = {
        {Base::ExceptionWin32("Failed to open registry key", 5).what(),
         "Failed to open registry key - " + SystemText(5) + " (Err 5)"},
        {Base::ExceptionWin32(2).what(), SystemText(2) + " (Err 2)"},
        // A code the system has no text for.
        {Base::ExceptionWin32("Wait Failed", 0x3FFFFFF1).what(), "Wait Failed - Err 1073741809"},
        {Base::ExceptionWin32(0x3FFFFFF1).what(), "Err 1073741809"},
        {Base::ExceptionHresultWin32("Failed to get health", 0x2AFFFF05).what(), "Failed to get health - HR 0x2AFFFF05"},
        {Base::ExceptionHresultWin32("x", 0x5).what(), "x - " + SystemText(5) + " (HR 0x00000005)"},
        {Base::Exception(static_cast<const char*>(nullptr)).what(), ""},
    };
    for (const auto& [actual, expected] : texts) EXPECT_EQ(actual, expected);
    EXPECT_EQ(static_cast<uint32_t>(Base::ExceptionHresultWin32("y", static_cast<int32_t>(0x80040154)).Code()),
              0x80040154u);
}

// Copied while an exception is thrown: a copy that could throw would end the process.
static_assert(std::is_nothrow_copy_constructible_v<AutoUpdateException>);

TEST(AutoUpdateException, TextRulesAndTheCutAt254Characters) {
    const std::string installFailed = SystemText(1603, 0x400, false);
    const std::pair<std::string, std::string> texts[] = {
        {AutoUpdateException("Installation failed.", 1603).what(), "Installation failed. " + installFailed},
        // From 0x80000000 up (a crashed installer's exit code) the code reads in hexadecimal.
        {AutoUpdateException("Installation failed.", -4).what(), "Installation failed. 0xFFFFFFFC"},
        {AutoUpdateException(nullptr).what(), "An error occurred whilst updating."},
        {AutoUpdateException("").what(), "An error occurred whilst updating."},
        {AutoUpdateException(nullptr, 1603).what(), installFailed},
        // A status code has no system text: the decimal code stands in.
        {AutoUpdateException("Unexpected Winhttp status code", 404).what(), "Unexpected Winhttp status code 404"},
        {AutoUpdateException(nullptr, 404).what(), "404"},
        {AutoUpdateException(std::string(1000, 'm').c_str(), 1603).what(), std::string(254, 'm')},
    };
    for (const auto& [actual, expected] : texts) EXPECT_EQ(actual, expected);
    AutoUpdateException assigned("short");
    assigned = AutoUpdateException("original");
    EXPECT_STREQ(AutoUpdateException(assigned).what(), "original");
}
