// The enable table and the event descriptors, derived from the instrumentation
// manifest as the message compiler does, must match the code's.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "base/trace_provider.h"
#include "support/child_process.h"

namespace {

using Attributes = std::map<std::string, std::string>;

std::vector<Attributes> Elements(const std::string& xml, const std::string& tag) {
    std::vector<Attributes> elements;
    const std::regex element("<" + tag + "\\s([^>]*)>");
    const std::regex attribute("([A-Za-z]+)=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), element); it != std::sregex_iterator(); ++it) {
        Attributes attributes;
        const std::string body = (*it)[1];
        for (auto a = std::sregex_iterator(body.begin(), body.end(), attribute); a != std::sregex_iterator(); ++a) {
            attributes[(*a)[1]] = (*a)[2];
        }
        elements.push_back(attributes);
    }
    return elements;
}

// Name to number of every element of a kind.
std::map<std::string, uint64_t> Numbers(const std::string& xml, const char* tag, const char* name, const char* value) {
    std::map<std::string, uint64_t> numbers;
    for (auto& element : Elements(xml, tag)) numbers[element[name]] = std::stoull(element[value], nullptr, 0);
    return numbers;
}

std::vector<EVENT_DESCRIPTOR> ManifestEvents() {
    std::ifstream file(Testing::SourcePath(L"base/kxclient_trace.man").c_str());
    const std::string xml{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    auto levels = Numbers(xml, "level", "name", "value");
    levels.insert({{"win:Critical", 1}, {"win:Error", 2}, {"win:Warning", 3}, {"win:Informational", 4},
                   {"win:Verbose", 5}});
    const auto tasks = Numbers(xml, "task", "name", "value");
    const auto opcodes = Numbers(xml, "opcode", "name", "value");
    const auto keywords = Numbers(xml, "keyword", "name", "mask");
    const auto channels = Numbers(xml, "channel", "chid", "value");
    // Each channel owns one keyword bit, from bit 63 down, in declaration order.
    std::map<std::string, uint64_t> channelBits;
    unsigned channelBit = 63;
    for (auto& channel : Elements(xml, "channel")) channelBits[channel["chid"]] = 1ULL << channelBit--;
    std::vector<EVENT_DESCRIPTOR> events;
    for (auto& e : Elements(xml, "event")) {
        uint64_t keyword = channelBits.at(e["channel"]);
        std::istringstream names(e["keywords"]);
        for (std::string name; names >> name;) keyword |= keywords.at(name);
        events.push_back({static_cast<USHORT>(std::stoul(e["value"])), static_cast<UCHAR>(std::stoul(e["version"])),
                          static_cast<UCHAR>(channels.at(e["channel"])), static_cast<UCHAR>(levels.at(e["level"])),
                          static_cast<UCHAR>(opcodes.at(e["opcode"])), static_cast<USHORT>(tasks.at(e["task"])),
                          keyword});
    }
    return events;
}

auto Fields(const EVENT_DESCRIPTOR& d) {
    return std::make_tuple(d.Id, int(d.Version), int(d.Channel), int(d.Level), int(d.Opcode), d.Task, d.Keyword);
}

}  // namespace

TEST(TraceManifest, EnableBitsAndEveryEventTheCodeWritesFollowTheManifest) {
    const std::vector<EVENT_DESCRIPTOR> events = ManifestEvents();
    // One enable bit per distinct (level, keyword), in the order of the events.
    std::vector<std::pair<uint8_t, uint64_t>> bits;
    for (const EVENT_DESCRIPTOR& event : events) {
        const std::pair<uint8_t, uint64_t> entry(event.Level, event.Keyword);
        if (std::find(bits.begin(), bits.end(), entry) == bits.end()) bits.push_back(entry);
    }
    ASSERT_EQ(bits.size(), Base::Trace::kEnableBitCount);
    for (unsigned i = 0; i < Base::Trace::kEnableBitCount; ++i) {
        EXPECT_EQ(bits[i], std::make_pair(Base::Trace::kEnableTable[i].level, Base::Trace::kEnableTable[i].keyword))
            << "bit " << i;
    }
    for (const EVENT_DESCRIPTOR* descriptor : Base::Trace::AllEventDescriptors()) {
        auto found = std::find_if(events.begin(), events.end(),
                                  [&](const EVENT_DESCRIPTOR& e) { return e.Id == descriptor->Id; });
        ASSERT_NE(found, events.end()) << descriptor->Id;
        EXPECT_EQ(Fields(*found), Fields(*descriptor));
    }
}
