// The UpdateRpc wire format, end to end: this process is the client (the
// corrected client stub), the echoing test server is another process with the
// real UpdateRpcServer and the corrected asynchronous server stub.

#include <gtest/gtest.h>

#include "rpc_test_processes.h"
#include "update_rpc.h"
#include "update_rpc_client.h"

namespace {

class RpcWire : public RpcTesting::ServerSuite {
protected:
    static void ExpectEcho(const std::wstring& request) {
        const UpdateRpcCallResult result = UpdateRpcClient(server->Endpoint()).Call(request);
        ASSERT_EQ(result.status, 0u);
        ASSERT_TRUE(result.reply.has_value());
        EXPECT_TRUE(*result.reply == request) << result.reply->size() << " units for " << request.size();
    }
};

TEST_F(RpcWire, RequestsOfEveryLengthAndUnitComeBackExactly) {
    std::wstring large;
    for (int i = 0; i < 100000; ++i) large.push_back(static_cast<wchar_t>(0x20 + i % 0x5F));
    // Latin, Greek, CJK, a surrogate pair (U+1F600), a lone surrogate and U+FFFF.
    for (const std::wstring& request : {std::wstring(L""), std::wstring(L"x"), large, std::wstring(5000, L'\x263A'),
                                        std::wstring(L"\u00fc\u00e9\u03a9\u4e2d\u6587 \xD83D\xDE00 \xDC00 \xFFFF")}) {
        ExpectEcho(request);
    }
}

TEST_F(RpcWire, NoReplyArrivesAsNullNotAsEmpty) {
    UpdateRpcClient client(server->Endpoint());
    const UpdateRpcCallResult none = client.Call(L"no-reply");
    EXPECT_EQ(none.status, 0u);
    EXPECT_FALSE(none.reply.has_value());
    const UpdateRpcCallResult empty = client.Call(L"");
    ASSERT_TRUE(empty.reply.has_value());
    EXPECT_EQ(*empty.reply, L"");
}

}  // namespace
