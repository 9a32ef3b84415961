#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <type_traits>

#include "base/exception.h"

namespace {
// The platform's own text for a code, trimmed as the exceptions trim it.
std::string SystemText(DWORD code, DWORD language = 0) {
    char buffer[4096] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, language, buffer,
                   sizeof(buffer), nullptr);
    return buffer;
}
std::string Trimmed(std::string text) {
    const char* blanks = " \t\r\n\v\f";
    text.erase(0, text.find_first_not_of(blanks));
    text.erase(text.find_last_not_of(blanks) + 1);
    return text;
}
}  // namespace

TEST(Exception, PlainMessageAndNullMessage) {
    EXPECT_STREQ(Base::Exception("Unable to convert STRING registry value").what(),
                 "Unable to convert STRING registry value");
    EXPECT_STREQ(Base::Exception(static_cast<const char*>(nullptr)).what(), "");
}

TEST(ExceptionWin32, MessageDashTrimmedSystemTextAndCode) {
    const Base::ExceptionWin32 e("Failed to open registry key", 5);
    ASSERT_FALSE(SystemText(5).empty());
    EXPECT_EQ(std::string(e.what()), "Failed to open registry key - " + Trimmed(SystemText(5)) + " (Err 5)");
    EXPECT_EQ(e.Code(), 5u);
}

TEST(ExceptionWin32, CodeOnlyHasNoDash) {
    const Base::ExceptionWin32 e(2);
    EXPECT_EQ(std::string(e.what()), Trimmed(SystemText(2)) + " (Err 2)");
}

TEST(ExceptionWin32, UnknownCodeFallsBackToDecimal) {
    EXPECT_STREQ(Base::ExceptionWin32("Wait Failed", 0x3FFFFFF1).what(), "Wait Failed - Err 1073741809");
    EXPECT_STREQ(Base::ExceptionWin32(0x3FFFFFF1).what(), "Err 1073741809");
}

TEST(ExceptionHresultWin32, EightUpperCaseHexDigits) {
    EXPECT_STREQ(Base::ExceptionHresultWin32("Failed to get health", 0x2AFFFF05).what(),
                 "Failed to get health - HR 0x2AFFFF05");
    const Base::ExceptionHresultWin32 small("x", 0x5);
    EXPECT_EQ(std::string(small.what()), "x - " + Trimmed(SystemText(5)) + " (HR 0x00000005)");
    const Base::ExceptionHresultWin32 negative("y", static_cast<int32_t>(0x80040154));
    EXPECT_NE(std::string(negative.what()).find("HR 0x80040154"), std::string::npos);
    EXPECT_EQ(static_cast<uint32_t>(negative.Code()), 0x80040154u);
}

TEST(ExceptionFamily, CopyThroughTheBaseKeepsTheFullText) {
    try {
        throw Base::ExceptionWin32("Failed to set registry value", 5);
    } catch (const Base::Exception& e) {
        const Base::Exception copy(e);
        EXPECT_STREQ(copy.what(), e.what());
        const Base::Maybe<Base::Exception> maybe(e);
        ASSERT_TRUE(maybe.HasValue());
        EXPECT_STREQ(maybe.Value().what(), e.what());
    }
    EXPECT_FALSE(Base::Maybe<Base::Exception>().HasValue());
}

TEST(AutoUpdateException, TextRules) {
    EXPECT_EQ(std::string(AutoUpdateException("Installation failed.", 1603).what()),
              "Installation failed. " + SystemText(1603, 0x400));
    EXPECT_STREQ(AutoUpdateException("Failed to connect to url").what(), "Failed to connect to url");
    EXPECT_STREQ(AutoUpdateException("Unexpected Winhttp status code", -4).what(), "Unexpected Winhttp status code");
    EXPECT_STREQ(AutoUpdateException(nullptr).what(), "An error occurred whilst updating.");
    EXPECT_STREQ(AutoUpdateException("").what(), "An error occurred whilst updating.");
    EXPECT_EQ(std::string(AutoUpdateException(nullptr, 1603).what()), SystemText(1603, 0x400));
    // A status code has no system text: the decimal code stands in.
    EXPECT_STREQ(AutoUpdateException("Unexpected Winhttp status code", 404).what(),
                 "Unexpected Winhttp status code 404");
    EXPECT_STREQ(AutoUpdateException(nullptr, 404).what(), "404");
}

// Copied while an exception is thrown: a copy that could throw would end the process.
static_assert(std::is_nothrow_copy_constructible_v<AutoUpdateException>);

TEST(AutoUpdateException, LongTextsAreCutAt254Characters) {
    const std::string longMessage(1000, 'm');
    const AutoUpdateException e(longMessage.c_str(), 1603);
    EXPECT_EQ(std::string(e.what()), std::string(254, 'm'));
    const AutoUpdateException copy(e);
    EXPECT_STREQ(copy.what(), e.what());
    AutoUpdateException assigned("short");
    assigned = e;
    EXPECT_STREQ(assigned.what(), e.what());
}
