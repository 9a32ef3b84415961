#include <gtest/gtest.h>

#include <string>

#include "base/log.h"
#include "base/trace_provider.h"
#include "support/event_capture.h"
#include "support/scratch.h"

using Testing::EventCapture;

namespace {

std::vector<uint8_t> WideBytes(const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.c_str());
    return {bytes, bytes + (text.size() + 1) * sizeof(wchar_t)};
}

uint32_t EnabledBits() { return *Base::Trace::Context()->enableBits; }

// The descriptors themselves are checked against the manifest.
const struct LevelCase {
    void (*log)(const wchar_t*, ...);
    USHORT eventId;
    const char* consolePrefix;
    int32_t level;
} kLevels[] = {
    {LogError, 2006, "  ERROR : ", 1}, {LogWarning, 2005, "WARNING : ", 2}, {LogInfo, 2004, "   INFO : ", 3},
    {LogVerbose, 2003, "VERBOSE : ", 4}, {LogEnter, 2002, "  ENTER : ", 5}, {LogExit, 2001, "   EXIT : ", 6},
    {LogDebug, 2000, "VERBOSE : ", 7},
};

}  // namespace

TEST(LogLines, EachLevelWritesItsEventAndItsConsoleLineUpToTheThresholdCutAt511Units) {
    EventCapture capture;
    for (const LevelCase& level : kLevels) level.log(L"value %lu and %S", 42ul, "text");
    LogEnter(nullptr);  // a null format is the empty message
    LogInfo(L"%s", std::wstring(700, L'x').c_str());
    const auto events = capture.Events();
    ASSERT_EQ(events.size(), 9u);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(events[i].descriptor.Id, kLevels[i].eventId);
        ASSERT_EQ(events[i].fields.size(), 2u);
        EXPECT_EQ(events[i].fields[0], WideBytes(L"base_tests.exe"));
        EXPECT_EQ(events[i].fields[1], WideBytes(L"value 42 and text"));
    }
    EXPECT_EQ(events[7].fields[1], WideBytes(L""));
    EXPECT_EQ(events[8].fields[1], WideBytes(std::wstring(511, L'x')));
    // Nothing is written while no session enables a level.
    capture.Clear();
    Testing::DisableSession();
    for (const LevelCase& level : kLevels) level.log(L"quiet");
    EXPECT_TRUE(capture.Events().empty());
    // Null string fields are written as "NULL".
    EVENT_DATA_DESCRIPTOR wide, narrow;
    Base::Trace::SetStringField(wide, static_cast<const wchar_t*>(nullptr));
    Base::Trace::SetStringField(narrow, static_cast<const char*>(nullptr));
    EXPECT_EQ(wide.Size, 10u);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(wide.Ptr))), L"NULL");
    EXPECT_EQ(narrow.Size, 5u);
    EXPECT_STREQ(reinterpret_cast<const char*>(static_cast<uintptr_t>(narrow.Ptr)), "NULL");

    // Console lines carry each level's prefix up to the threshold (3 and 4 are the program's own).
    for (const auto& [enabled, threshold] : {std::pair<uint32_t, int32_t>{1, 0}, {1, 3}, {1, 4}, {1, 7}, {0, 7}}) {
        Testing::StdoutCapture out;
        Base::Testing::SetConsoleOutput(enabled, threshold);
        std::string expected;
        for (const LevelCase& level : kLevels) {
            const bool empty = level.level == 5;
            level.log(empty ? nullptr : L"line %d", level.level);
            if (enabled && level.level <= threshold) {
                expected += level.consolePrefix + (empty ? "" : "line " + std::to_string(level.level)) + "\n";
            }
        }
        Base::Testing::SetConsoleOutput(0, 0);
        EXPECT_EQ(out.Text(), expected) << "threshold " << threshold;
    }
    // Long lines lose their line feed.
    Testing::StdoutCapture out;
    Base::Testing::SetConsoleOutput(1, 3);
    LogInfo(L"%s", std::wstring(600, L'y').c_str());
    LogInfo(L"%s", std::wstring(500, L'z').c_str());
    Base::Testing::SetConsoleOutput(0, 0);
    EXPECT_EQ(out.Text(), "   INFO : " + std::string(501, 'y') + "   INFO : " + std::string(500, 'z') + "\n");
}

// Bit 12 is the module list, bit 13 the crash report.
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
        {1, 0x8000000000000010ULL, 0, 1u << 13},
        {4, 0x8000000000000008ULL, 0x8000000000000008ULL, 1u << 12},
    };
    for (const auto& session : sessions) {
        Testing::EnableSession(session.level, session.any, session.all);
        EXPECT_EQ(EnabledBits(), session.bits) << int(session.level) << " " << session.any << " " << session.all;
        EXPECT_EQ(Base::Trace::Context()->isEnabled, 1u);
    }
    // A null context and unknown codes change nothing; disabling clears all.
    Base::Trace::EnableCallback(nullptr, 0, 0, 0, 0, nullptr, nullptr);
    Base::Trace::EnableCallback(nullptr, 7, 0, 0, 0, nullptr, Base::Trace::Context());
    EXPECT_EQ(EnabledBits(), 1u << 12);
    Testing::DisableSession();
    EXPECT_EQ(EnabledBits(), 0u);
    EXPECT_EQ(Base::Trace::Context()->isEnabled, 0u);
    EXPECT_EQ(Base::Trace::Context()->matchAnyKeyword, 0u);
}
