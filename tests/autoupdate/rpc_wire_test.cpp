// The UpdateRpc wire, end to end: this process is the client, the echoing
// test server another process. Requests made by hand go out with the
// runtime's raw send and reach the server stub exactly as written: a
// well-formed one proves the layout byte by byte, hostile and mutated ones
// must each be refused with a status while the server stays up.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "rpc_test_processes.h"
#include "update_rpc.h"
#include "update_rpc_client.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct RawReply {
    RPC_STATUS status = RPC_S_OK;
    Bytes bytes;
};

// NDR of a conformant varying string: maximum count, offset, actual count,
// then the UTF-16 units (the terminator counted), all little-endian.
Bytes ConformantString(uint32_t maximum, uint32_t offset, uint32_t actual, const std::u16string& units) {
    Bytes out;
    for (const uint32_t value : {maximum, offset, actual}) {
        for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>(value >> shift));
    }
    for (const char16_t unit : units) out.insert(out.end(), {static_cast<unsigned char>(unit), static_cast<unsigned char>(unit >> 8)});
    return out;
}

Bytes WellFormed(const std::u16string& text) {
    const auto count = static_cast<uint32_t>(text.size() + 1);
    return ConformantString(count, 0, count, text + u'\0');
}

// Sends a packet as written on a binding of its own, so every answer belongs to its packet.
RawReply SendRaw(const std::wstring& endpoint, const Bytes& request) {
    const UpdateRpcClient client(endpoint);
    RawReply reply;
    RPC_MESSAGE message{};
    message.Handle = client.Binding();
    message.RpcInterfaceInformation = UpdateRpc_v1_0_c_ifspec;
    message.DataRepresentation = NDR_LOCAL_DATA_REPRESENTATION;
    message.BufferLength = static_cast<unsigned int>(request.size());
    reply.status = I_RpcGetBuffer(&message);
    if (reply.status != RPC_S_OK) return reply;
    if (!request.empty()) memcpy(message.Buffer, request.data(), request.size());
    reply.status = I_RpcSendReceive(&message);
    if (reply.status == RPC_S_OK) {
        const auto* data = static_cast<const unsigned char*>(message.Buffer);
        reply.bytes.assign(data, data + message.BufferLength);
    }
    I_RpcFreeBuffer(&message);
    return reply;
}

class RpcWire : public RpcTesting::ServerSuite {
protected:
    static void ExpectServerAnswers() {
        const UpdateRpcCallResult result = UpdateRpcClient(server->Endpoint()).Call(L"still here");
        ASSERT_EQ(result.status, 0u) << server->Output();
        EXPECT_EQ(result.reply.value_or(L""), L"still here");
    }
};

// The reply as MIDL lays it out: a unique pointer's referent id, then the
// string. Wine sends a surplus of heap bytes after it (it sizes the
// asynchronous reply as request plus reply), which a MIDL peer never reads.
bool StartsWithEcho(const RawReply& reply, const std::u16string& text) {
    const Bytes string = WellFormed(text);
    if (reply.status != RPC_S_OK || reply.bytes.size() < 4 + string.size()) return false;
    uint32_t referent = 0;
    memcpy(&referent, reply.bytes.data(), 4);
    return referent != 0 && std::equal(string.begin(), string.end(), reply.bytes.begin() + 4);
}

// The client library keeps an empty reply apart from none ("no-reply" gets
// none, see kxupdate's cases) and passes every UTF-16 unit through.
TEST_F(RpcWire, TheClientGetsEmptyAndWideRepliesExactly) {
    for (const std::wstring request : {L"", L"\u00fc\u4e2d \xD83D\xDE00 \xDC00 \xFFFF"}) {
        EXPECT_EQ(UpdateRpcClient(server->Endpoint()).Call(request).reply, std::optional<std::wstring>(request));
    }
}

TEST_F(RpcWire, HandMadePacketsGetTheLayoutsReplyOrARefusalAndTheServerGoesOn) {
    struct Case {
        const char* name;
        Bytes packet;
        const char16_t* served;  // what the server routine receives, or null when refused
    };
    const std::u16string hello = u"hello";
    const std::u16string helloNul(u"hello\0", 6);
    Bytes truncated = WellFormed(hello);
    truncated.resize(truncated.size() - 3);
    Bytes trailing = WellFormed(hello);
    trailing.insert(trailing.end(), 64, 0xEE);
    const std::vector<Case> cases = {
        {"well-formed", WellFormed(u"h\u00e9"), u"h\u00e9"},
        {"empty string", WellFormed(u""), u""},
        {"empty packet", {}, nullptr},
        {"only the maximum count", {6, 0, 0, 0}, nullptr},
        {"header without units", ConformantString(6, 0, 6, u""), nullptr},
        {"truncated units", truncated, nullptr},
        {"actual count above the maximum", ConformantString(2, 0, 6, helloNul), nullptr},
        {"counts far beyond the packet", ConformantString(0x7FFFFFFF, 0, 0x7FFFFFFF, helloNul), nullptr},
        {"count whose byte size overflows", ConformantString(0xFFFFFFFF, 0, 0x80000001, helloNul), nullptr},
        {"non-zero offset", ConformantString(6, 1, 5, std::u16string(u"ello\0", 5)), nullptr},
        {"no terminator", ConformantString(5, 0, 5, hello), nullptr},
        {"zero counts", ConformantString(0, 0, 0, u""), nullptr},
        // The server sees a terminated string; what follows its terminator is never read.
        {"terminator in the middle", ConformantString(6, 0, 6, std::u16string(u"he\0lo\0", 6)), u"he"},
        {"trailing bytes", trailing, u"hello"},
    };
    for (const Case& item : cases) {
        const RawReply reply = SendRaw(server->Endpoint(), item.packet);
        if (item.served == nullptr) {
            EXPECT_NE(reply.status, RPC_S_OK) << item.name;
        } else {
            EXPECT_TRUE(StartsWithEcho(reply, item.served)) << item.name << ": status " << reply.status;
        }
        ExpectServerAnswers();
    }
    const RawReply none = SendRaw(server->Endpoint(), WellFormed(u"no-reply"));
    ASSERT_EQ(none.status, RPC_S_OK);
    ASSERT_GE(none.bytes.size(), 4u);
    EXPECT_EQ(Bytes(none.bytes.begin(), none.bytes.begin() + 4), Bytes(4, 0));  // a null unique pointer
}

// The one fuzz over the wire: mutated and cut packets get a reply or a
// refusal by the unmarshalling, never a fault of the server's own code.
TEST_F(RpcWire, MutatedPacketsNeverStopTheServer) {
    std::mt19937 random(20261207);
    const Bytes valid = WellFormed(u"a well-formed request");
    for (int i = 0; i < 300; ++i) {
        Bytes packet(valid.begin(), valid.begin() + random() % (valid.size() + 1));
        for (int flips = random() % 4; flips > 0 && !packet.empty(); --flips) {
            packet[random() % packet.size()] = static_cast<unsigned char>(random());
        }
        const RPC_STATUS status = SendRaw(server->Endpoint(), packet).status;
        ASSERT_TRUE(status == RPC_S_OK || status == RPC_X_BAD_STUB_DATA || status == RPC_X_INVALID_BOUND)
            << "packet " << i << ": status " << status;
    }
    ExpectServerAnswers();
}

// 1234 concurrent calls, the runtime's limit. Wine serves at most 500 at once
// (Windows all), so the test server holds every call until 400 are inside it:
// that many surely run at once, and each must still get its own reply.
TEST(RpcLoad, AllConcurrentCallsAreAnsweredWithTheirOwnReply) {
    RpcTesting::TestServer server(RpcTesting::UniqueEndpoint(L"load"), L"--hold 400");
    ASSERT_TRUE(server.Ready()) << server.Output();
    const UpdateRpcClient client(server.Endpoint());
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 1234; ++t) {
        threads.emplace_back([&, t] {
            const std::wstring request = L"call-" + std::to_wstring(t) + std::wstring(t % 7 * 100, L'\x263A');
            const UpdateRpcCallResult result = client.Call(request);
            if (result.status == 0 && result.reply == request) ++answered;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(answered.load(), 1234);
    EXPECT_EQ(server.Stop().find("ERROR"), std::string::npos);
}

}  // namespace
