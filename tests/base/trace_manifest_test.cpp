// Consumers on Windows decode the service's events with the compiled manifest
// and the message table embedded in kxclient_service.exe. A reader nobody here
// wrote (tools/tracemc/trace_check.c on Debian's libyal format libraries)
// lists them; the listing must match the code's table, the events the code
// writes, field by field, and the manifest's field names.

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/crash_report.h"
#include "base/log.h"
#include "base/trace_provider.h"
#include "support/child_process.h"
#include "support/event_capture.h"
#include "support/host_command.h"
#include "support/scratch.h"

namespace {

using Item = std::map<std::string, std::string>;

struct Listing {
    Testing::HostResult run;
    std::multimap<std::string, Item> items;  // by kind, in listed order
    std::set<uint64_t> messages;             // ids that have a string
};

Listing ListResources(const std::wstring& executable) {
    const std::wstring service = Testing::ServiceExecutable();
    const std::wstring checker = service.substr(0, service.find_last_of(L'\\')) + L"\\deps\\kxtracecheck";
    Listing listing{Testing::RunHostCommand(Testing::ShellQuote(Testing::UnixPath(checker)) + " " +
                                            Testing::ShellQuote(Testing::UnixPath(executable))), {}, {}};
    std::istringstream lines(listing.run.output);
    for (std::string line, kind, word; std::getline(lines, line);) {
        std::istringstream words(line);
        Item item;
        words >> kind;
        if (kind == "message" && words >> word) listing.messages.insert(std::stoull(word, nullptr, 16));
        while (words >> word) item.emplace(word.substr(0, word.find('=')), word.substr(word.find('=') + 1));
        listing.items.emplace(kind, item);
    }
    return listing;
}

std::string Text(const Item& item, const char* key) { return item.count(key) ? item.at(key) : ""; }

uint64_t Number(const Item& item, const char* key) {
    return item.count(key) ? std::stoull(item.at(key), nullptr, 0) : ~0ULL;
}

GUID Guid(const std::string& text) {
    GUID guid{};
    IIDFromString((L"{" + std::wstring(text.begin(), text.end()) + L"}").c_str(), &guid);
    return guid;
}

// Whether a field the code wrote is laid out as the listed input type says.
bool HasLayout(uint64_t inType, const std::vector<uint8_t>& bytes) {
    const size_t size = bytes.size();
    if (inType == 0x01) return size % 2 == 0 && wcsnlen(reinterpret_cast<const wchar_t*>(bytes.data()), size / 2) + 1 == size / 2;
    if (inType == 0x02) return strnlen(reinterpret_cast<const char*>(bytes.data()), size) + 1 == size;
    return (inType == 0x06 && size == 2) || (inType == 0x08 && size == 4) || (inType == 0x0A && size == 8);
}

std::string Differences(const Listing& listing, const std::vector<Testing::CapturedEvent>& written) {
    std::ostringstream out;
    if (listing.run.exitCode != 0) out << "checker: " << listing.run.output << "\n";
    const auto provider = listing.items.find("provider");
    if (provider == listing.items.end() || Guid(Text(provider->second, "guid")) != Base::Trace::kProviderGuid ||
        !listing.messages.count(Number(provider->second, "message_identifier"))) {
        out << "provider\n";
    }
    std::map<uint64_t, Item> events;
    std::set<std::pair<uint64_t, uint64_t>> listedBits, codeBits;
    for (auto [event, end] = listing.items.equal_range("event"); event != end; ++event) {
        events[Number(event->second, "identifier")] = event->second;
        listedBits.emplace(Number(event->second, "level"), Number(event->second, "keywords"));
        if (!listing.messages.count(Number(event->second, "message_identifier"))) out << "message of an event\n";
    }
    for (const auto& entry : Base::Trace::kEnableTable) codeBits.emplace(entry.level, entry.keyword);
    if (codeBits.size() != Base::Trace::kEnableBitCount || codeBits != listedBits) out << "enable bits\n";
    for (const EVENT_DESCRIPTOR* code : Base::Trace::AllEventDescriptors()) {
        const Item& event = events[code->Id];
        if (Number(event, "version") != code->Version || Number(event, "channel") != code->Channel ||
            Number(event, "level") != code->Level || Number(event, "opcode") != code->Opcode ||
            Number(event, "task") != code->Task || Number(event, "keywords") != code->Keyword) {
            out << "event " << code->Id << " descriptor\n";
        }
    }
    std::map<std::string, std::vector<Item>> templates;  // fields by template offset
    for (auto [field, end] = listing.items.equal_range("field"); field != end; ++field) {
        templates[Text(field->second, "template_offset")].push_back(field->second);
    }
    for (const Testing::CapturedEvent& event : written) {
        const std::vector<Item>& fields = templates[Text(events[event.descriptor.Id], "template_offset")];
        bool same = fields.size() == event.fields.size();
        for (size_t i = 0; same && i < fields.size(); ++i) same = HasLayout(Number(fields[i], "in_type"), event.fields[i]);
        if (!same) out << "event " << event.descriptor.Id << " fields\n";
    }
    std::string listedNames, manifestNames;
    for (const auto& [offset, fields] : templates) {
        for (const Item& field : fields) listedNames += Text(field, "name") + " ";
    }
    const std::string manifest = Testing::ReadWholeFile(Testing::SourcePath(L"base/kxclient_trace.man"));
    const std::regex data("<data name=\"(\\w+)\"");
    for (auto name = std::sregex_iterator(manifest.begin(), manifest.end(), data); name != std::sregex_iterator(); ++name) {
        manifestNames += (*name)[1].str() + " ";
    }
    if (listedNames != manifestNames) out << "field names: " << listedNames << "\n";
    return out.str();
}

}  // namespace

TEST(TraceManifest, TheEmbeddedResourcesDescribeEveryEventAsTheCodeWritesIt) {
    std::vector<Testing::CapturedEvent> written;
    {
        Testing::EventCapture capture;
        for (auto log : {LogDebug, LogExit, LogEnter, LogVerbose, LogInfo, LogWarning, LogError}) log(L"line");
        WriteModuleList();
        WriteCrashDump(nullptr);
        written = capture.Events();
    }
    std::set<USHORT> ids;
    for (const Testing::CapturedEvent& event : written) ids.insert(event.descriptor.Id);
    ASSERT_EQ(ids.size(), Base::Trace::AllEventDescriptors().size());
    const Listing listing = ListResources(Testing::ServiceExecutable());
    EXPECT_EQ(Differences(listing, written), "") << listing.run.output;

    // A copy whose compiled INFO event says another level no longer matches.
    std::string image = Testing::ReadWholeFile(Testing::ServiceExecutable());
    const size_t info = image.find(std::string(reinterpret_cast<const char*>(&Base::Trace::kEventInfo), 16),
                                   image.find("CRIM"));
    ASSERT_NE(info, std::string::npos);
    image[info + offsetof(EVENT_DESCRIPTOR, Level)] = 12;
    Testing::ScratchFolder scratch;
    EXPECT_NE(Differences(ListResources(scratch.WriteFile(L"corrupted.exe", image)), written).find("event 2004 descriptor"),
              std::string::npos);
}
