// The resources Windows decodes the events with, as an independent reader
// (trace_check.c on Debian's libyal libraries) lists them, match the code's
// table, the fields the code writes, and the manifest's field names.

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
    const std::wstring checker = Testing::TestBinaryFolder() + L"\\..\\deps\\kxtracecheck";
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

uint64_t Number(Item& item, const char* key) { return item.count(key) ? std::stoull(item[key], nullptr, 0) : ~0ULL; }

// Whether a field the code wrote is laid out as the listed input type says.
bool HasLayout(uint64_t inType, const std::vector<uint8_t>& field) {
    const size_t size = field.size();
    const auto* wide = reinterpret_cast<const wchar_t*>(field.data());
    if (inType == 0x01) return size % 2 == 0 && wcsnlen(wide, size / 2) + 1 == size / 2;
    if (inType == 0x02) return strnlen(reinterpret_cast<const char*>(field.data()), size) + 1 == size;
    return (inType == 0x06 && size == 2) || (inType == 0x08 && size == 4) || (inType == 0x0A && size == 8);
}

std::string Differences(Listing listing, const std::vector<Testing::CapturedEvent>& written) {
    std::ostringstream out;
    if (listing.run.exitCode != 0) out << "checker: " << listing.run.output << "\n";
    Item provider = listing.items.count("provider") ? listing.items.find("provider")->second : Item{};
    const std::string guid = "{" + provider["guid"] + "}";
    GUID listedGuid{};
    IIDFromString(std::wstring(guid.begin(), guid.end()).c_str(), &listedGuid);
    if (listedGuid != Base::Trace::kProviderGuid || !listing.messages.count(Number(provider, "message_identifier"))) {
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
        std::vector<uint64_t> listed;
        for (auto key : {"version", "channel", "level", "opcode", "task", "keywords"}) {
            listed.push_back(Number(events[code->Id], key));
        }
        if (listed != std::vector<uint64_t>{code->Version, code->Channel, code->Level, code->Opcode, code->Task,
                                            code->Keyword}) {
            out << "event " << code->Id << " descriptor\n";
        }
    }
    std::map<uint64_t, std::vector<Item>> templates;  // fields by template offset, in manifest order
    for (auto [field, end] = listing.items.equal_range("field"); field != end; ++field) {
        templates[Number(field->second, "template_offset")].push_back(field->second);
    }
    for (const Testing::CapturedEvent& event : written) {
        std::vector<Item>& fields = templates[Number(events[event.descriptor.Id], "template_offset")];
        bool same = fields.size() == event.fields.size();
        for (size_t i = 0; same && i < fields.size(); ++i) {
            same = HasLayout(Number(fields[i], "in_type"), event.fields[i]);
        }
        if (!same) out << "event " << event.descriptor.Id << " fields\n";
    }
    std::string listedNames, names, manifest = Testing::ReadWholeFile(Testing::SourcePath(L"base/kxclient_trace.man"));
    for (auto& [offset, fields] : templates) for (Item& field : fields) listedNames += field["name"] + " ";
    const std::regex dataName("<data name=\"(\\w+)\"");
    for (std::smatch data; std::regex_search(manifest, data, dataName); manifest = data.suffix()) {
        names += data[1].str() + " ";
    }
    if (listedNames != names) out << "field names: " << listedNames << "\n";
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
    const std::string info(reinterpret_cast<const char*>(&Base::Trace::kEventInfo), 16);
    const size_t at = image.find(info, image.find("CRIM"));
    ASSERT_NE(at, std::string::npos);
    image[at + offsetof(EVENT_DESCRIPTOR, Level)] = 12;
    Testing::ScratchFolder scratch;
    const Listing corrupted = ListResources(scratch.WriteFile(L"corrupted.exe", image));
    EXPECT_NE(Differences(corrupted, written).find("event 2004 descriptor"), std::string::npos);
}
