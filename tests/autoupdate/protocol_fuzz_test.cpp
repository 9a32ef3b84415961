// Hostile input: mutated and malformed instructions must never crash the
// process or escape as an exception.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "instruction_helpers.h"

namespace {

class ProtocolFuzz : public Testing::UpdateProcessTest {};

// A fixed seed: the same sequence on every run, so a failure can be replayed.
struct Random {
    size_t Below(size_t limit) { return limit ? static_cast<size_t>(engine() % limit) : 0; }
    std::mt19937_64 engine{0x5EED1234ABCDULL};
};

const wchar_t* const kSeeds[] = {
    LR"({"id":"queryAutoUpdateProgress"})",
    LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/a.exe",3],"hash":"ab","args":"/q",)"
    LR"("downgrade":true,"proxy":{"autoDetect":false,"autoConfigUrl":"http://p/","proxy":"x:1","proxyBypass":""}}})",
    LR"({"id":"beginAutoUpdate","data":{"hash":"","args":""}})",
    LR"({"id":"unknown","data":[1,2.5e300,-0,true,false,null,"\ud800\u0000\"\\"]})",
    LR"([[[{"id":"beginAutoUpdate"}]]])",
};

const wchar_t kFragments[] = L"{}[]\":,\\u0123456789eE+-.truefalsenull \t\n";

std::wstring Mutate(const std::wstring& seed, Random& random) {
    std::wstring text = seed;
    const size_t edits = 1 + random.Below(6);
    for (size_t e = 0; e < edits; ++e) {
        const size_t at = random.Below(text.size() + 1);
        switch (random.Below(6)) {
        case 0:  // drop a unit
            if (at < text.size()) text.erase(at, 1);
            break;
        case 1:  // any code unit, lone surrogates and NUL included
            text.insert(at, 1, static_cast<wchar_t>(random.engine() & 0xFFFF));
            break;
        case 2:  // a JSON token character
            text.insert(at, 1, kFragments[random.Below(sizeof(kFragments) / sizeof(wchar_t) - 1)]);
            break;
        case 3:  // cut off
            text.resize(at);
            break;
        case 4: {  // repeat a slice: deep nesting, long strings
            const size_t length = random.Below(16);
            const std::wstring slice = text.substr(at, length);
            for (size_t r = random.Below(64); r > 0; --r) text.insert(at, slice);
            break;
        }
        default:  // splice in part of another seed
        {
            const std::wstring other = kSeeds[random.Below(std::size(kSeeds))];
            const size_t from = random.Below(other.size());
            text.insert(at, other.substr(from, random.Below(other.size() - from + 1)));
        }
        }
    }
    return text;
}

}  // namespace

TEST_F(ProtocolFuzz, HundredThousandMutatedInstructionsAreAnsweredOrIgnored) {
    Random random;
    size_t replies = 0;
    for (int i = 0; i < 100000; ++i) {
        const std::wstring request = Mutate(kSeeds[random.Below(std::size(kSeeds))], random);
        // A launch would start worker processes; that instruction has its own test.
        if (ParseInstructionId(request.c_str()) == L"launchAutoUpdate") continue;
        const auto reply = Testing::Dispatch(request);
        if (!reply.present) continue;
        ++replies;
        ASSERT_EQ(reply.text.rfind(LR"({"data":{"status":)", 0), 0u) << reply.text;
    }
    // Some mutations stay valid begins or queries.
    EXPECT_GT(replies, 0u);
    ASSERT_TRUE(Testing::WaitForUpdateTask());
}
