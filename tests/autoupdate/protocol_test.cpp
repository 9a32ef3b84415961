// The instruction protocol, in process through DispatchInstruction exactly as
// the RPC server's Invoke calls it.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>

#include "instruction_helpers.h"
#include "support/event_capture.h"

using Testing::Dispatch;
using Testing::kQuery;

namespace {

class Protocol : public Testing::UpdateProcessTest {};

const wchar_t* const kSeeds[] = {
    LR"({"id":"queryAutoUpdateProgress"})",
    LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/a.exe",3],"hash":"ab","args":"/q",)"
    LR"("downgrade":true,"proxy":{"autoDetect":false,"autoConfigUrl":"http://p/","proxy":"x:1","proxyBypass":""}}})",
    LR"({"id":"beginAutoUpdate","data":{"hash":"","args":""}})",
    LR"({"id":"unknown","data":[1,2.5e300,-0,true,false,null,"\ud800\u0000\"\\"]})",
    LR"([[[{"id":"beginAutoUpdate"}]]])",
};

const wchar_t kFragments[] = L"{}[]\":,\\u0123456789eE+-.truefalsenull \t\n";

// A fixed seed: the same sequence on every run, so a failure can be replayed.
std::wstring Mutate(const std::wstring& seed, std::mt19937_64& engine) {
    const auto below = [&](size_t limit) { return limit ? static_cast<size_t>(engine() % limit) : 0; };
    std::wstring text = seed;
    for (size_t edits = 1 + below(6); edits > 0; --edits) {
        const size_t at = below(text.size() + 1);
        switch (below(6)) {
        case 0:  // drop a unit
            if (at < text.size()) text.erase(at, 1);
            break;
        case 1:  // any code unit, lone surrogates and NUL included
            text.insert(at, 1, static_cast<wchar_t>(engine() & 0xFFFF));
            break;
        case 2:  // a JSON token character
            text.insert(at, 1, kFragments[below(std::size(kFragments) - 1)]);
            break;
        case 3:  // cut off
            text.resize(at);
            break;
        case 4:  // repeat a slice: deep nesting, long strings
            for (size_t r = below(64), length = below(16); r > 0; --r) text.insert(at, text.substr(at, length));
            break;
        default:  // splice in part of another seed
            const std::wstring other = kSeeds[below(std::size(kSeeds))];
            const size_t from = below(other.size());
            text.insert(at, other.substr(from, below(other.size() - from + 1)));
        }
    }
    return text;
}

}  // namespace

TEST_F(Protocol, UnknownMalformedOrOverLongInstructionsHaveNoReplyAndStartNothing) {
    // Above the bound even a well-formed begin is not read.
    const std::wstring tooLong = LR"({"id":"beginAutoUpdate","data":{"hash":"","args":")" + std::wstring(65536, L' ') +
                                 LR"("}})";
    const std::wstring requests[] = {
        tooLong,
        // Ids are whole and case-sensitive, compared by their length.
        LR"({"id":"BeginAutoUpdate","data":{"hash":"","args":""}})",
        LR"({"id":"beginAutoUpdat"})",
        LR"({"id":"beginAutoUpdate "})",
        LR"({"id":"beginAutoUpdate\u0000x","data":{"hash":"","args":""}})",
        LR"({"data":{}})",
        LR"({"id":["beginAutoUpdate"]})",
        LR"({"id":{"id":"beginAutoUpdate"}})",
        LR"(["beginAutoUpdate"])",
        LR"({"id":"beginAutoUpdate")",
        L"not json at all",
        L"",
        // Unclosed brackets up to the bound must not exhaust the stack.
        std::wstring(65536, L'['),
        LR"({"id":"beginAutoUpdate","data":)" + std::wstring(65000, L'{'),
    };
    for (const std::wstring& request : requests) {
        EXPECT_FALSE(Dispatch(request).present) << request.substr(0, 80);
        EXPECT_EQ(QueryControllerProgress(), ControllerProgress::None) << request.substr(0, 80);
    }
    UpdateRequest request;
    EXPECT_FALSE(ParseUpdateRequest(tooLong.c_str(), request));
    // A query before any begin has no reply; null pointers are not touched.
    EXPECT_FALSE(Dispatch(kQuery).present);
    wchar_t* response = nullptr;
    DispatchInstruction(nullptr, &response);
    EXPECT_EQ(response, nullptr);
    DispatchInstruction(kQuery, nullptr);
    WriteResponse(nullptr, UpdateResponse{1, L"x"});
}

TEST_F(Protocol, ABeginIsParsedWithoutHoldingUpQueries) {
    // The begin stops inside its parse until a query has been answered.
    Testing::EventCapture capture;
    const HANDLE queried = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool answeredDuringTheParse = false;
    capture.OnNext(L"Found [0] urls",
                   [&] { answeredDuringTheParse = WaitForSingleObject(queried, 10000) == WAIT_OBJECT_0; });
    std::thread begin([] { Dispatch(LR"({"id":"beginAutoUpdate","data":{"urls":[],"hash":"","args":""}})"); });
    EXPECT_TRUE(capture.WaitForCount(L"Found [0] urls", 1, 10000));
    Dispatch(kQuery);
    SetEvent(queried);
    begin.join();
    CloseHandle(queried);
    EXPECT_TRUE(answeredDuringTheParse);
    EXPECT_TRUE(Testing::WaitForUpdateTask());
}

TEST_F(Protocol, BeginThatCannotBeReadRepliesFailedAndStartsNothing) {
    const struct {
        const wchar_t* request;
        const wchar_t* logged;
    } cases[] = {
        {LR"({"id":"beginAutoUpdate","data":{"hash":7,"args":""}})",
         L"Failed to parse json.  Error: member hash of data is missing or not a string"},
        {LR"({"id":"beginAutoUpdate","data":{"hash":"","args":null}})",
         L"Failed to parse json.  Error: member args of data is missing or not a string"},
        {LR"({"id":"beginAutoUpdate","data":[1,2]})", L"Failed to parse json.  Error: member data is not an object"},
    };
    for (const auto& item : cases) {
        Testing::EventCapture capture;
        EXPECT_EQ(Dispatch(item.request).text, LR"({"data":{"status":3,"errorMessage":"Failed to parse RPC instruction"}})");
        EXPECT_TRUE(capture.Contains(item.logged)) << item.request;
        EXPECT_EQ(QueryControllerProgress(), ControllerProgress::None) << item.request;
    }
}

TEST_F(Protocol, ParseReadsUrlsFlagsAndProxyByType) {
    UpdateRequest full;
    ASSERT_TRUE(ParseUpdateRequest(
        LR"({"data":{"urls":["https://a/x.exe",5,"http://b/y.exe",null],"hash":"AbC","args":"/s",)"
        LR"("downgrade":true,"proxy":{"autoDetect":false,"autoConfigUrl":"http://pac/","proxy":"p:8080",)"
        LR"("proxyBypass":"<local>"}}})",
        full));
    EXPECT_EQ(full.urls, (std::vector<std::wstring>{L"https://a/x.exe", L"http://b/y.exe"}));
    EXPECT_EQ(full.hash + L" " + full.args, L"AbC /s");
    EXPECT_TRUE(full.downgrade);
    EXPECT_FALSE(full.proxy.autoDetect);
    EXPECT_EQ(full.proxy.autoConfigUrl + L" " + full.proxy.proxy + L" " + full.proxy.proxyBypass,
              L"http://pac/ p:8080 <local>");
    // Members of another type count as absent.
    for (const std::wstring data : {LR"(,"downgrade":"true")", LR"(,"downgrade":1)",
                                    LR"(,"proxy":"p:1","urls":"http://a/")", LR"(,"proxy":{"proxy":3,"autoConfigUrl":[]})"}) {
        UpdateRequest request;
        ASSERT_TRUE(ParseUpdateRequest((LR"({"data":{"hash":"","args":"")" + data + L"}}").c_str(), request));
        EXPECT_TRUE(!request.downgrade && request.urls.empty() && request.proxy.autoDetect &&
                    request.proxy.proxy.empty() && request.proxy.autoConfigUrl.empty())
            << data;
    }
}

// Hostile input: mutated instructions never crash the process or escape as
// an exception.
TEST_F(Protocol, HundredThousandMutatedInstructionsAreAnsweredOrIgnored) {
    UpdateTesting::SetDownloadHook([](const std::wstring&, const std::wstring&) { return true; });  // no fetch
    std::mt19937_64 engine{0x5EED1234ABCDULL};
    size_t replies = 0;
    for (int i = 0; i < 100000; ++i) {
        const std::wstring request = Mutate(kSeeds[engine() % std::size(kSeeds)], engine);
        // A launch would start worker processes; that instruction has its own test.
        if (ParseInstructionId(request.c_str()) == L"launchAutoUpdate") continue;
        const auto reply = Dispatch(request);
        if (!reply.present) continue;
        ++replies;
        ASSERT_EQ(reply.text.rfind(LR"({"data":{"status":)", 0), 0u) << reply.text;
    }
    // Some mutations stay valid begins or queries.
    EXPECT_GT(replies, 0u);
    ASSERT_TRUE(Testing::WaitForUpdateTask());
}
