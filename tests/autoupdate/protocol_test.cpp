// The instruction protocol, in process through DispatchInstruction exactly as
// the RPC server's Invoke calls it.

#include <gtest/gtest.h>

#include <thread>

#include "instruction_helpers.h"
#include "support/event_capture.h"

using Testing::Dispatch;
using Testing::kQuery;

namespace {
class Protocol : public Testing::UpdateProcessTest {};

const wchar_t kNoControllerText[] =
    L"UpdateRpcServer has received a query progress instruction but no controller exists.  Has a begin update "
    L"instruction been received?";
}  // namespace

TEST_F(Protocol, QueryBeforeAnyBeginHasNoReply) {
    Testing::EventCapture capture;
    EXPECT_FALSE(Dispatch(kQuery).present);
    EXPECT_TRUE(capture.Contains(kNoControllerText));
}

TEST_F(Protocol, UnknownOrMalformedInstructionsHaveNoReplyAndStartNothing) {
    // Above the bound even a well-formed begin is not read.
    const std::wstring tooLong = LR"({"id":"beginAutoUpdate","data":{"hash":"","args":")" + std::wstring(65536, L' ') +
                                 LR"("}})";
    const struct {
        std::wstring request;
        const wchar_t* loggedId;
    } cases[] = {
        {tooLong, L""},
        {LR"({"id":"BeginAutoUpdate","data":{"hash":"","args":""}})", L"BeginAutoUpdate"},
        {LR"({"id":"beginautoupdate"})", L"beginautoupdate"},
        {LR"({"id":"beginAutoUpdat"})", L"beginAutoUpdat"},
        {LR"({"id":"beginAutoUpdate "})", L"beginAutoUpdate "},
        {LR"({"id":"somethingElse"})", L"somethingElse"},
        {LR"({"id":""})", L""},
        {LR"({"data":{}})", L""},
        {L"not json at all", L""},
        {L"", L""},
        {LR"({"id":"beginAutoUpdate")", L""},
        {LR"(["beginAutoUpdate"])", L""},
        {LR"("beginAutoUpdate")", L""},
        {L"42", L""},
        {L"null", L""},
        {LR"({"id":5})", L""},
        {LR"({"id":["beginAutoUpdate"]})", L""},
        {LR"({"id":{"id":"beginAutoUpdate"}})", L""},
        {LR"({"id":null})", L""},
    };
    for (const auto& item : cases) {
        Testing::EventCapture capture;
        const auto reply = Dispatch(item.request);
        EXPECT_FALSE(reply.present) << item.request.substr(0, 80);
        EXPECT_TRUE(capture.Contains(std::wstring(L"Unexpected instruction [") + item.loggedId +
                                     L"] pass to UpdateRpcServer"))
            << item.request.substr(0, 80);
        EXPECT_EQ(QueryControllerProgress(), ControllerProgress::None) << item.request.substr(0, 80);
    }
    UpdateRequest request;
    EXPECT_FALSE(ParseUpdateRequest(tooLong.c_str(), request));
}

TEST_F(Protocol, ABeginIsParsedWithoutHoldingUpQueries) {
    // The begin stops inside its parse until a query has been answered.
    Testing::EventCapture capture;
    const HANDLE queried = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool answeredDuringTheParse = false;
    capture.OnNext(L"Found [1] urls",
                   [&] { answeredDuringTheParse = WaitForSingleObject(queried, 10000) == WAIT_OBJECT_0; });
    std::thread begin([] { Dispatch(LR"({"id":"beginAutoUpdate","data":{"urls":["x"],"hash":"","args":""}})"); });
    EXPECT_TRUE(capture.WaitForCount(L"Found [1] urls", 1, 10000));
    Dispatch(kQuery);
    SetEvent(queried);
    begin.join();
    CloseHandle(queried);
    EXPECT_TRUE(answeredDuringTheParse);
    EXPECT_TRUE(Testing::WaitForUpdateTask());
}

TEST_F(Protocol, IdWithAnEmbeddedNulIsComparedByLength) {
    const auto reply = Dispatch(std::wstring(LR"({"id":"beginAutoUpdate\u0000x","data":{"hash":"","args":""}})"));
    EXPECT_FALSE(reply.present);
    EXPECT_EQ(QueryControllerProgress(), ControllerProgress::None);
}

TEST_F(Protocol, BeginRepliesDownloadingThenQueriesReportTheFailure) {
    Testing::EventCapture capture;
    const auto begin = Dispatch(
        LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/setup.exe"],"hash":"","args":"/l"}})");
    EXPECT_EQ(begin.text, LR"({"data":{"status":0}})");
    ASSERT_TRUE(Testing::WaitForUpdateTask());

    const auto query = Dispatch(kQuery);
    ASSERT_TRUE(query.present);
    EXPECT_EQ(query.text, LR"({"data":{"status":3,"errorMessage":"Failed to connect to url"}})");

    // A later begin starts nothing and reports the final state.
    capture.Clear();
    const auto again = Dispatch(LR"({"id":"beginAutoUpdate","data":{"urls":["http://x/"],"hash":"","args":""}})");
    EXPECT_EQ(again.text, query.text);
    EXPECT_TRUE(capture.Contains(L"Controller already exists"));
    EXPECT_EQ(QueryControllerProgress(), ControllerProgress::Finished);
}

TEST_F(Protocol, BeginThatCannotBeReadRepliesFailedAndStartsNothing) {
    const struct {
        const wchar_t* request;
        const wchar_t* logged;
    } cases[] = {
        {LR"({"id":"beginAutoUpdate","data":{"args":""}})",
         L"Failed to parse json.  Error: member hash of data is missing or not a string"},
        {LR"({"id":"beginAutoUpdate","data":{"hash":7,"args":""}})",
         L"Failed to parse json.  Error: member hash of data is missing or not a string"},
        {LR"({"id":"beginAutoUpdate","data":{"hash":""}})",
         L"Failed to parse json.  Error: member args of data is missing or not a string"},
        {LR"({"id":"beginAutoUpdate","data":{"hash":"","args":null}})",
         L"Failed to parse json.  Error: member args of data is missing or not a string"},
        {LR"({"id":"beginAutoUpdate","data":"urls"})", L"Failed to parse json.  Error: member data is not an object"},
        {LR"({"id":"beginAutoUpdate","data":[1,2]})", L"Failed to parse json.  Error: member data is not an object"},
    };
    for (const auto& item : cases) {
        Testing::EventCapture capture;
        const auto reply = Dispatch(item.request);
        ASSERT_TRUE(reply.present) << item.request;
        EXPECT_EQ(reply.text, LR"({"data":{"status":3,"errorMessage":"Failed to parse RPC instruction"}})");
        EXPECT_TRUE(capture.Contains(item.logged)) << item.request;
        EXPECT_FALSE(capture.Contains(L"Failed to parse RPC instruction"));
        EXPECT_EQ(QueryControllerProgress(), ControllerProgress::None) << item.request;
    }
}

TEST_F(Protocol, ParseReadsUrlsFlagsAndProxyByType) {
    Testing::EventCapture capture;
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
    EXPECT_TRUE(capture.Contains(L"Found [4] urls"));
    EXPECT_EQ(capture.Count(L"Adding url: ["), 2u);
    // Members of another type count as absent; without data every default stays.
    for (const std::wstring data : {LR"(,"downgrade":"true")", LR"(,"downgrade":1)", LR"(,"downgrade":{})",
                                    LR"(,"proxy":"p:1","urls":"http://a/")", LR"(,"proxy":{"proxy":3,"autoConfigUrl":[]})"}) {
        UpdateRequest request;
        ASSERT_TRUE(ParseUpdateRequest((LR"({"data":{"hash":"","args":"")" + data + L"}}").c_str(), request));
        EXPECT_FALSE(request.downgrade) << data;
        EXPECT_TRUE(request.urls.empty() && request.proxy.autoDetect && request.proxy.proxy.empty() &&
                    request.proxy.autoConfigUrl.empty())
            << data;
    }
    UpdateRequest defaults;
    ASSERT_TRUE(ParseUpdateRequest(LR"({"id":"beginAutoUpdate"})", defaults));
    EXPECT_TRUE(defaults.urls.empty() && defaults.proxy.autoDetect && !defaults.downgrade);
}

TEST_F(Protocol, ReplyIsCompactAndEscaped) {
    wchar_t* response = nullptr;
    WriteResponse(&response, UpdateResponse{3, L"say \"no\"\\\n\tnow \u00e9\u4e2d"});
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(std::wstring(response), L"{\"data\":{\"status\":3,\"errorMessage\":\"say \\\"no\\\"\\\\\\n\\tnow \u00e9\u4e2d\"}}");
    free(response);

    response = nullptr;
    WriteResponse(&response, UpdateResponse{4, L""});
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(std::wstring(response), LR"({"data":{"status":4}})");
    free(response);

    // No place for the reply: nothing written, nothing leaked into a null pointer.
    WriteResponse(nullptr, UpdateResponse{1, L"x"});
}

TEST_F(Protocol, NullRequestIsAnUnexpectedInstruction) {
    wchar_t* response = nullptr;
    DispatchInstruction(nullptr, &response);
    EXPECT_EQ(response, nullptr);
    DispatchInstruction(kQuery, nullptr);
}

TEST_F(Protocol, DeeplyNestedRequestsDoNotExhaustTheStack) {
    // Unclosed brackets up to the bound: not JSON, so an unexpected instruction.
    const std::wstring unclosed(65536, L'[');
    EXPECT_FALSE(Dispatch(unclosed).present);
    const std::wstring inObject = LR"({"id":"beginAutoUpdate","data":)" + std::wstring(65000, L'{');
    EXPECT_FALSE(Dispatch(inObject).present);
    EXPECT_EQ(QueryControllerProgress(), ControllerProgress::None);

    // Valid but deep: the nested url entry is not a string, so no url at all.
    const size_t depth = 32000;
    const std::wstring deep = LR"({"id":"beginAutoUpdate","data":{"hash":"","args":"","urls":[)" +
                              std::wstring(depth, L'[') + std::wstring(depth, L']') + L"]}}";
    Testing::EventCapture capture;
    const auto reply = Dispatch(deep);
    ASSERT_TRUE(reply.present);
    EXPECT_EQ(reply.text, LR"({"data":{"status":0}})");
    ASSERT_TRUE(Testing::WaitForUpdateTask());
    EXPECT_TRUE(capture.Contains(L"Found [1] urls"));
    EXPECT_EQ(Dispatch(kQuery).text, LR"({"data":{"status":3,"errorMessage":"No download url was provided"}})");
}
