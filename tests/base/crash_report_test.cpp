#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <regex>
#include <sstream>

#include "base/base64.h"
#include "base/crash_report.h"
#include "base/trace_provider.h"
#include "minidump_text.h"
#include "support/child_process.h"
#include "support/event_capture.h"
#include "support/scratch.h"

using Testing::CapturedEvent;
using Testing::EventCapture;

namespace {

std::vector<CapturedEvent> EventsWithId(const EventCapture& capture, USHORT id) {
    auto events = capture.Events();
    events.erase(std::remove_if(events.begin(), events.end(), [id](const auto& e) { return e.descriptor.Id != id; }),
                 events.end());
    return events;
}

template <typename T>
T ValueField(const CapturedEvent& event, size_t i) {
    T value{};
    EXPECT_EQ(event.fields.at(i).size(), sizeof(T));
    memcpy(&value, event.fields.at(i).data(), std::min(sizeof(T), event.fields.at(i).size()));
    return value;
}

const IMAGE_NT_HEADERS64* NtHeaders(const void* base) {
    const auto* dos = static_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS64*>(static_cast<const uint8_t*>(base) + dos->e_lfanew);
}

}  // namespace

// A session that captures state gets the module list; enabling alone does not.
// The platform's trace thread only hands the work to a pool thread.
TEST(ModuleList, CaptureStateWritesOneEventPerLoadedModuleAndInstallsTheHandlers) {
    const LPTOP_LEVEL_EXCEPTION_FILTER originalFilter = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(originalFilter);
    std::vector<HMODULE> modules(1024);
    DWORD needed = 0;
    EnumProcessModules(GetCurrentProcess(), modules.data(), 1024 * sizeof(HMODULE), &needed);
    modules.resize(needed / sizeof(HMODULE));
    EventCapture capture;
    Testing::EnableSession(4, 0x8000000000000018ULL, 0);
    EXPECT_TRUE(EventsWithId(capture, 2020).empty());
    Base::Trace::EnableCallback(&Base::Trace::kProviderGuid, Base::Trace::kControlCaptureState, 0, 0, 0, nullptr,
                                Base::Trace::Context());
    ASSERT_TRUE(Testing::WaitUntil([&] { return EventsWithId(capture, 2020).size() == modules.size(); }));
    EXPECT_EQ(SetUnhandledExceptionFilter(originalFilter), &CrashExceptionFilter);
    EXPECT_EQ(signal(SIGABRT, SIG_DFL), &AbortHandler);

    const auto events = EventsWithId(capture, 2020);
    for (size_t i = 0; i < modules.size(); ++i) {
        char path[MAX_PATH];
        MODULEINFO info = {};
        GetModuleFileNameA(modules[i], path, MAX_PATH);
        GetModuleInformation(GetCurrentProcess(), modules[i], &info, sizeof(info));
        const CapturedEvent& event = events[i];
        ASSERT_EQ(event.fields.size(), 7u);
        EXPECT_NE(event.threadId, GetCurrentThreadId());
        EXPECT_EQ(event.NarrowField(0), path);
        EXPECT_EQ(ValueField<uint64_t>(event, 2), reinterpret_cast<uintptr_t>(info.lpBaseOfDll));
        EXPECT_EQ(ValueField<uint32_t>(event, 3), info.SizeOfImage);
        EXPECT_EQ(event.WideField(4), L"base_tests.exe");
        EXPECT_EQ(ValueField<uint16_t>(event, 6), NtHeaders(info.lpBaseOfDll)->FileHeader.Machine) << path;
        // The test program has no version resource; Wine's system modules have one.
        const std::string version = event.NarrowField(5);
        if (i == 0) {
            EXPECT_EQ(version, "");
        } else if (strstr(path, "kernel32") != nullptr) {
            EXPECT_TRUE(std::regex_match(version, std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) << version;
        }
    }

    // The test program's debug record: its directory entries, then their data.
    const auto* base = reinterpret_cast<const uint8_t*>(modules[0]);
    const IMAGE_DATA_DIRECTORY directory =
        NtHeaders(base)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    const auto* entries = reinterpret_cast<const IMAGE_DEBUG_DIRECTORY*>(base + directory.VirtualAddress);
    const size_t count = directory.Size / sizeof(IMAGE_DEBUG_DIRECTORY);
    ASSERT_GE(count, 1u) << "the test program is linked with a build id";
    const std::string record = CrashDump::DecodeBase64(events[0].NarrowField(1));
    size_t expectedSize = 0;
    for (size_t i = 0; i < count; ++i) expectedSize += sizeof(IMAGE_DEBUG_DIRECTORY) + entries[i].SizeOfData;
    ASSERT_EQ(record.size(), expectedSize);
    for (size_t i = 0; i < count; ++i) {
        // The entry as it stands, but its data follows the entries.
        IMAGE_DEBUG_DIRECTORY copy, expected = entries[i];
        memcpy(&copy, record.data() + i * sizeof(copy), sizeof(copy));
        expected.AddressOfRawData = 0;
        expected.PointerToRawData = copy.PointerToRawData;
        EXPECT_EQ(memcmp(&copy, &expected, sizeof(copy)), 0) << "entry " << i;
        const size_t dataOffset = i * sizeof(copy) + copy.PointerToRawData;
        ASSERT_LE(dataOffset + copy.SizeOfData, record.size());
        EXPECT_EQ(memcmp(record.data() + dataOffset, base + entries[i].AddressOfRawData, copy.SizeOfData), 0);
        EXPECT_TRUE(copy.Type != IMAGE_DEBUG_TYPE_CODEVIEW || record.compare(dataOffset, 4, "RSDS") == 0);
    }
}

TEST(ModuleList, UnreadableHeadersGiveMachine487AndNoDebugRecord) {
    const HMODULE module = LoadLibraryW((Testing::TestBinaryFolder() + L"\\..\\fixtures\\x64\\kxclient.dll").c_str());
    ASSERT_NE(module, nullptr);
    DWORD protection = 0;
    ASSERT_TRUE(VirtualProtect(module, 1, PAGE_NOACCESS, &protection));
    EventCapture capture;
    WriteModuleList();
    VirtualProtect(module, 1, protection, &protection);
    FreeLibrary(module);
    const auto events = EventsWithId(capture, 2020);
    const auto event = std::find_if(events.begin(), events.end(), [&](const CapturedEvent& e) {
        return ValueField<uint64_t>(e, 2) == reinterpret_cast<uintptr_t>(module);
    });
    ASSERT_NE(event, events.end());
    EXPECT_EQ(event->NarrowField(1), "");
    EXPECT_EQ(ValueField<uint16_t>(*event, 6), 487);
}

TEST(CrashDumpFailures, TemporaryFolderFailuresAreLoggedAndNoDumpIsSent) {
    wchar_t original[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TMP", original, MAX_PATH);
    const struct {
        std::wstring folder;
        std::wstring expected;
    } cases[] = {
        {L"C:\\" + std::wstring(300, L'x'), L"GetTempPath failed with result "},
        {L"C:\\kx-no-such-folder\\below", L"GetTempFileName failed with result 0"},
    };
    for (const auto& failure : cases) {
        EventCapture capture;
        SetEnvironmentVariableW(L"TMP", failure.folder.c_str());
        WriteCrashDump(nullptr);
        SetEnvironmentVariableW(L"TMP", original);
        const auto messages = capture.Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].rfind(failure.expected, 0), 0u) << messages[0];
        EXPECT_TRUE(EventsWithId(capture, 2021).empty());
    }
}

// A child process enables the crash report before its first log line and
// dies; its event seam prints the events on standard output.
TEST(CrashReportChild, EachDeathReportsInOrderAndLeavesNoFile) {
    const struct {
        const wchar_t* mode;
        std::vector<std::string> lines;  // log events and "[2021]" for the dump's events, in order
        size_t dumps;
    } deaths[] = {
        {L"access-violation",
         {"[2006] An unhandled exception was thrown with error code 3221225477", "[2021]",
          "[2004] Finished dumping fault information for exception 3221225477",
          "[2006] The process terminated abnormally"},
         1},
        {L"abort",
         {"[2006] The process terminated abnormally", "[2021]",
          "[2004] Finished dumping fault information for abnormal termination"},
         1},
        {L"second-thread",
         {"[2006] An unhandled exception was thrown with error code 3221225477",
          "[2005] Exception 3221225477 on thread [N] waits for the crash report of thread [N]", "[2021]",
          "[2004] Finished dumping fault information for exception 3221225477",
          "[2006] The process terminated abnormally"},
         1},
        {L"fault-in-report",
         {"[2006] An unhandled exception was thrown with error code 3221225477",
          "[2006] Exception 3221225477 was raised while the crash report was written"},
         0},
    };
    for (const auto& death : deaths) {
        SCOPED_TRACE(death.mode);
        Testing::ScratchFolder temp;
        Testing::ChildProcess child(Testing::TestBinaryFolder() + L"\\crash_child.exe " + death.mode + L" \"" +
                                    temp.Path() + L"\"");
        ASSERT_NE(child.Wait(120000), STILL_ACTIVE);
        const std::string output = child.Output();

        std::vector<std::string> lines;
        std::istringstream stream(output);
        for (std::string line; std::getline(stream, line);) {
            if (line.rfind("[20", 0) != 0 || line.rfind("[2020]", 0) == 0 || line.find("child started") != line.npos) {
                continue;
            }
            if (line.rfind("[2021]", 0) == 0) line = "[2021]";
            line = std::regex_replace(line, std::regex(R"(thread \[\d+\])"), "thread [N]");
            if (lines.empty() || line != "[2021]" || lines.back() != line) lines.push_back(line);
        }
        EXPECT_EQ(lines, death.lines) << output.substr(0, 4000);

        const auto dumps = CrashDump::FindMinidumpTexts(output);
        ASSERT_EQ(dumps.size(), death.dumps);
        for (const std::string& text : dumps) EXPECT_EQ(CrashDump::CheckMinidump(CrashDump::DecodeBase64(text)), "");
        WIN32_FIND_DATAW data;
        EXPECT_FALSE(Base::UniqueFindHandle(FindFirstFileW((temp.Path() + L"\\dmp*").c_str(), &data)))
            << "a dump file was left behind";
    }
}

// The trace tools' renderings of a dump that came in two events.
TEST(CrashDumpDecoder, FindsDumpsInTheTextsOfTraceTools) {
    std::string dump = "MDMP\x93\xA7";
    for (int i = 0; dump.size() < 5001; ++i) dump.push_back(static_cast<char>(i * 7));
    const std::string text = Base64Encode(dump.data(), dump.size());
    const std::string first = text.substr(0, 50 * 73);
    const std::string second = text.substr(50 * 73);
    const auto replaceAll = [](std::string s, const std::string& from, const std::string& to) {
        for (size_t at = 0; (at = s.find(from, at)) != s.npos; at += to.size()) s.replace(at, from.size(), to);
        return s;
    };
    const auto xml = [&](const std::string& part) {
        return "<Event><EventID>2021</EventID><Data Name=\"ProcessImageName\">kxclient_service.exe</Data>"
               "<Data Name=\"Minidump\">" + replaceAll(part, "\n", "&#xA;") + "</Data></Event>\n";
    };
    std::string payload;
    for (wchar_t c : std::wstring(L"kxclient_service.exe")) payload += {static_cast<char>(c), '\0'};
    payload += std::string(2, '\0') + text + '\0';
    std::string hex;
    for (unsigned char c : payload) hex += "0123456789ABCDEF"[c >> 4] + std::string(1, "0123456789ABCDEF"[c & 15]) + " ";
    const std::string record = Base64Encode(std::string(90, 'r').data(), 90);

    const struct {
        const char* name;
        std::string input;
        size_t dumps;
    } cases[] = {
        {"payloads", text, 1},
        {"xml", xml(first) + xml(second), 1},
        {"escaped console lines", "2021 kxclient_service.exe: " + replaceAll(first, "\n", "\\n") +
                                      "\r\n2021 kxclient_service.exe: " + replaceAll(second, "\n", "\\n") + "\r\n", 1},
        {"hexadecimal user data", "<BinaryEventData>" + hex + "</BinaryEventData>", 1},
        {"two dumps and a record between", "[2021] a\n" + text + "[2020] b\n" + record + "[2021] c\n" + text, 2},
        {"no dump", "[2006] The process terminated abnormally\n" + record, 0},
    };
    for (const auto& tool : cases) {
        const auto found = CrashDump::FindMinidumpTexts(tool.input);
        ASSERT_EQ(found.size(), tool.dumps) << tool.name;
        for (const std::string& dumpText : found) EXPECT_EQ(CrashDump::DecodeBase64(dumpText), dump) << tool.name;
    }
    EXPECT_EQ(CrashDump::CheckMinidump(dump), "the stream directory lies beyond the data");
}
