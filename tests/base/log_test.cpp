#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/log.h"
#include "base/trace_provider.h"
#include "support/event_capture.h"
#include "support/scratch.h"

using Testing::CapturedEvent;
using Testing::EventCapture;

namespace {

std::vector<uint8_t> WideBytes(const std::wstring& text) {
    std::vector<uint8_t> bytes((text.size() + 1) * 2, 0);
    memcpy(bytes.data(), text.c_str(), text.size() * 2);
    return bytes;
}

uint32_t EnabledBits() { return *Base::Trace::Context()->enableBits; }

struct LevelCase {
    void (*log)(const wchar_t*, ...);
    USHORT eventId;
    UCHAR etwLevel;
    const char* consolePrefix;
    int32_t level;
};

const LevelCase kLevels[] = {
    {LogError, 2006, 2, "  ERROR : ", 1},   {LogWarning, 2005, 3, "WARNING : ", 2},
    {LogInfo, 2004, 4, "   INFO : ", 3},    {LogVerbose, 2003, 5, "VERBOSE : ", 4},
    {LogEnter, 2002, 16, "  ENTER : ", 5},  {LogExit, 2001, 17, "   EXIT : ", 6},
    {LogDebug, 2000, 18, "VERBOSE : ", 7},
};

}  // namespace

TEST(LogEvents, EachLevelWritesItsDescriptorWithImageNameAndMessage) {
    EventCapture capture;
    for (const LevelCase& level : kLevels) level.log(L"value %lu and %S", 42ul, "text");
    LogEnter(nullptr);  // a null format is the empty message
    const auto events = capture.Events();
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(events[7].fields[1], std::vector<uint8_t>({0, 0}));
    for (size_t i = 0; i < 7; ++i) {
        const CapturedEvent& event = events[i];
        EXPECT_EQ(event.descriptor.Id, kLevels[i].eventId);
        EXPECT_EQ(event.descriptor.Level, kLevels[i].etwLevel);
        EXPECT_EQ(event.descriptor.Version, 1);
        EXPECT_EQ(event.descriptor.Channel, 16);
        ASSERT_EQ(event.fields.size(), 2u);
        EXPECT_EQ(event.fields[0], WideBytes(L"base_tests.exe"));
        EXPECT_EQ(event.fields[1], WideBytes(L"value 42 and text"));
    }
}

TEST(LogEvents, LongMessagesAreCutAt511Units) {
    EventCapture capture;
    const std::wstring longText(700, L'x');
    LogInfo(L"%s", longText.c_str());
    const auto events = capture.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].fields[1].size(), 512u * 2);
    EXPECT_EQ(events[0].WideField(1), std::wstring(511, L'x'));
}

TEST(LogEvents, NullStringFieldsAreWrittenAsNull) {
    EVENT_DATA_DESCRIPTOR wide;
    EVENT_DATA_DESCRIPTOR narrow;
    Base::Trace::SetStringField(wide, static_cast<const wchar_t*>(nullptr));
    Base::Trace::SetStringField(narrow, static_cast<const char*>(nullptr));
    EXPECT_EQ(wide.Size, 10u);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(wide.Ptr))), L"NULL");
    EXPECT_EQ(narrow.Size, 5u);
    EXPECT_STREQ(reinterpret_cast<const char*>(static_cast<uintptr_t>(narrow.Ptr)), "NULL");
}

TEST(LogEvents, NothingIsWrittenWhenNoSessionEnablesTheLevel) {
    EventCapture capture;
    Testing::DisableSession();
    for (const LevelCase& level : kLevels) level.log(L"quiet");
    EXPECT_TRUE(capture.Events().empty());
}

TEST(EnableCallback, SessionLevelAndKeywordsChooseTheBits) {
    const struct {
        uint8_t level;
        uint64_t any, all;
        uint32_t bits;
    } sessions[] = {
        {0, ~0ULL, 0, 0x3FFF},
        {4, 0x2, 0, 0x70},  // INFO, WARNING, ERROR
        {4, 0x8000000000000002ULL, 0, 0x3070},
        {0, ~0ULL, 0x8000000000000010ULL, 1u << 13},
    };
    for (const auto& session : sessions) {
        Testing::EnableSession(session.level, session.any, session.all);
        EXPECT_EQ(EnabledBits(), session.bits) << int(session.level) << " " << session.any << " " << session.all;
        EXPECT_EQ(Base::Trace::Context()->isEnabled, 1u);
    }
    // A null context and unknown codes change nothing; disabling clears all.
    Base::Trace::EnableCallback(nullptr, 0, 0, 0, 0, nullptr, nullptr);
    Base::Trace::EnableCallback(nullptr, 7, 0, 0, 0, nullptr, Base::Trace::Context());
    EXPECT_EQ(EnabledBits(), 1u << 13);
    Testing::DisableSession();
    EXPECT_EQ(EnabledBits(), 0u);
    EXPECT_EQ(Base::Trace::Context()->isEnabled, 0u);
    EXPECT_EQ(Base::Trace::Context()->matchAnyKeyword, 0u);
}

class ConsoleOutput : public ::testing::Test {
protected:
    void TearDown() override { Base::Testing::SetConsoleOutput(0, 0); }
};

// Thresholds 3 and 4 are the ones the program sets; 0 with the console
// enabled, and 7 with it disabled, print nothing.
TEST_F(ConsoleOutput, EachLevelHasItsPrefixUpToTheThreshold) {
    for (const auto& [enabled, threshold] : {std::pair<uint32_t, int32_t>{1, 0}, {1, 3}, {1, 4}, {1, 7}, {0, 7}}) {
        Testing::StdoutCapture out;
        Base::Testing::SetConsoleOutput(enabled, threshold);
        std::string expected;
        for (const LevelCase& level : kLevels) {
            level.log(level.level == 5 ? nullptr : L"line %d", level.level);
            if (enabled && level.level <= threshold) {
                expected += std::string(level.consolePrefix) + (level.level == 5 ? "" : "line " + std::to_string(level.level)) + "\n";
            }
        }
        Base::Testing::SetConsoleOutput(0, 0);
        EXPECT_EQ(out.Text(), expected) << "threshold " << threshold;
    }
}

TEST_F(ConsoleOutput, LongLinesLoseTheirLineFeed) {
    Testing::StdoutCapture out;
    Base::Testing::SetConsoleOutput(1, 3);
    LogInfo(L"%s", std::wstring(600, L'y').c_str());
    LogInfo(L"%s", std::wstring(500, L'z').c_str());
    Base::Testing::SetConsoleOutput(0, 0);
    EXPECT_EQ(out.Text(), "   INFO : " + std::string(501, 'y') + "   INFO : " + std::string(500, 'z') + "\n");
}
