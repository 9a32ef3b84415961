// The instrumentation manifest and the provider table in the code must not
// drift: this derives the enable table and the descriptors from the manifest
// the way the message compiler does and compares them with the code's.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
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

uint64_t Number(const std::string& text) { return std::stoull(text, nullptr, 0); }

struct ManifestEvent {
    unsigned id, version, channel, level, opcode, task;
    uint64_t keyword;
};

class TraceManifest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ifstream file(Testing::SourcePath(L"base/kxclient_trace.man").c_str());
        ASSERT_TRUE(file.good());
        std::stringstream content;
        content << file.rdbuf();
        xml = content.str();

        std::map<std::string, unsigned> levels = {
            {"win:Critical", 1}, {"win:Error", 2}, {"win:Warning", 3}, {"win:Informational", 4}, {"win:Verbose", 5}};
        for (auto& l : Elements(xml, "level")) levels[l["name"]] = static_cast<unsigned>(Number(l["value"]));
        std::map<std::string, unsigned> tasks, opcodes;
        for (auto& t : Elements(xml, "task")) tasks[t["name"]] = static_cast<unsigned>(Number(t["value"]));
        for (auto& o : Elements(xml, "opcode")) opcodes[o["name"]] = static_cast<unsigned>(Number(o["value"]));
        std::map<std::string, uint64_t> keywords;
        for (auto& k : Elements(xml, "keyword")) keywords[k["name"]] = Number(k["mask"]);
        // Each channel owns one keyword bit, from bit 63 down, in declaration order.
        std::map<std::string, std::pair<unsigned, uint64_t>> channels;
        unsigned channelBit = 63;
        for (auto& c : Elements(xml, "channel")) {
            channels[c["chid"]] = {static_cast<unsigned>(Number(c["value"])), 1ULL << channelBit--};
        }
        for (auto& e : Elements(xml, "event")) {
            ManifestEvent event{};
            event.id = static_cast<unsigned>(Number(e["value"]));
            event.version = static_cast<unsigned>(Number(e["version"]));
            event.channel = channels.at(e["channel"]).first;
            event.level = levels.at(e["level"]);
            event.opcode = opcodes.at(e["opcode"]);
            event.task = tasks.at(e["task"]);
            event.keyword = channels.at(e["channel"]).second;
            std::istringstream names(e["keywords"]);
            for (std::string name; names >> name;) event.keyword |= keywords.at(name);
            events.push_back(event);
        }
    }

    std::string xml;
    std::vector<ManifestEvent> events;
};

}  // namespace

TEST_F(TraceManifest, EnableBitsFollowTheCodeTable) {
    std::vector<std::pair<uint8_t, uint64_t>> bits;
    for (const ManifestEvent& event : events) {
        const std::pair<uint8_t, uint64_t> entry(static_cast<uint8_t>(event.level), event.keyword);
        if (std::find(bits.begin(), bits.end(), entry) == bits.end()) bits.push_back(entry);
    }
    ASSERT_EQ(bits.size(), Base::Trace::kEnableBitCount);
    for (unsigned i = 0; i < Base::Trace::kEnableBitCount; ++i) {
        EXPECT_EQ(bits[i].first, Base::Trace::kEnableTable[i].level) << "bit " << i;
        EXPECT_EQ(bits[i].second, Base::Trace::kEnableTable[i].keyword) << "bit " << i;
    }
}

TEST_F(TraceManifest, EveryEventTheCodeWritesIsDeclaredAlike) {
    for (const EVENT_DESCRIPTOR* descriptor : Base::Trace::AllEventDescriptors()) {
        auto found = std::find_if(events.begin(), events.end(),
                                  [&](const ManifestEvent& e) { return e.id == descriptor->Id; });
        ASSERT_NE(found, events.end()) << descriptor->Id;
        EXPECT_EQ(found->version, descriptor->Version) << descriptor->Id;
        EXPECT_EQ(found->channel, descriptor->Channel) << descriptor->Id;
        EXPECT_EQ(found->level, descriptor->Level) << descriptor->Id;
        EXPECT_EQ(found->opcode, descriptor->Opcode) << descriptor->Id;
        EXPECT_EQ(found->task, descriptor->Task) << descriptor->Id;
        EXPECT_EQ(found->keyword, descriptor->Keyword) << descriptor->Id;
    }
}
