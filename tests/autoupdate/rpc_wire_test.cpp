// The UpdateRpc wire format, end to end: this process is the client (the
// corrected client stub), the echoing test server is another process with the
// real UpdateRpcServer and the corrected asynchronous server stub.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rpc_test_processes.h"
#include "update_rpc.h"
#include "update_rpc_client.h"

extern "C" const unsigned char* UpdateRpcClientProcFormat(unsigned int* size);
extern "C" const unsigned char* UpdateRpcClientTypeFormat(unsigned int* size);

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

TEST_F(RpcWire, WidlsUncorrectedClientIsRejected) {
    // Its request carries the handle as 4 extra bytes: the server stub refuses it.
    const auto result = Testing::RunToEnd(RpcTesting::TestExe(L"rpc_uncorrected_client.exe") + L" " +
                                          server->Endpoint() + L" hello");
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(result.output, "status 1734\nno reply\n");  // RPC_X_BAD_STUB_DATA
    ExpectEcho(L"hello");  // and the server goes on serving
}

// The tables the corrected stubs hand to the NDR engine, against the bytes
// derived by hand from the NDR format: explicit primitive handle described in
// the header only, two parameters, [out] typed by the outer reference pointer.
const std::vector<unsigned char> kTypeFormat = {
    0x00, 0x00,
    0x11, 0x08, 0x25, 0x5c,  // 2: FC_RP simple -> FC_C_WSTRING (request)
    0x11, 0x14, 0x02, 0x00,  // 6: FC_RP on stack, deref -> 10 (response)
    0x12, 0x08, 0x25, 0x5c,  // 10: FC_UP simple -> FC_C_WSTRING
    0x00};

std::vector<unsigned char> ProcFormat(unsigned char flags, unsigned char shift) {
    return {0x00, 0x48, 0, 0, 0, 0, 0x00, 0x00,
            static_cast<unsigned char>(0x18 + shift), 0x00,       // stack size
            0x32, 0x00, shift, 0x00,                              // FC_BIND_PRIMITIVE at offset 0 (+ async state)
            0x00, 0x00, 0x00, 0x00, flags, 0x02,                  // buffers, flags, 2 parameters
            0x0a, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,                   // win64 extension
            0x0b, 0x01, static_cast<unsigned char>(0x08 + shift), 0x00, 0x04, 0x00,  // request
            0x13, 0x20, static_cast<unsigned char>(0x10 + shift), 0x00, 0x06, 0x00,  // response
            0x00};
}

TEST(RpcStubTables, ClientTablesMatchTheHandDerivedFormat) {
    unsigned int size = 0;
    const unsigned char* proc = UpdateRpcClientProcFormat(&size);
    EXPECT_EQ(std::vector<unsigned char>(proc, proc + size), ProcFormat(0x43, 0));
    const unsigned char* type = UpdateRpcClientTypeFormat(&size);
    EXPECT_EQ(std::vector<unsigned char>(type, type + size), kTypeFormat);
}

// A table filled at compile time holds the import thunk ("jmp [rip+disp32]"),
// not the DLL's address: follow it.
const void* ImportTarget(const void* code) {
    const auto* bytes = static_cast<const unsigned char*>(code);
    if (bytes[0] != 0xFF || bytes[1] != 0x25) return code;
    int32_t displacement = 0;
    memcpy(&displacement, bytes + 2, 4);
    return *reinterpret_cast<void* const*>(bytes + 6 + displacement);
}

TEST(RpcStubTables, ServerInterfaceIsTheAsyncStub) {
    const auto* server = static_cast<const RPC_SERVER_INTERFACE*>(UpdateRpc_v1_0_s_ifspec);
    const GUID expected = {0x0da41ea0, 0x39b6, 0x4251, {0x9f, 0xf9, 0xac, 0x12, 0xff, 0x05, 0x79, 0x59}};
    EXPECT_TRUE(IsEqualGUID(server->InterfaceId.SyntaxGUID, expected));
    EXPECT_EQ(server->InterfaceId.SyntaxVersion.MajorVersion, 1);
    EXPECT_EQ(server->InterfaceId.SyntaxVersion.MinorVersion, 0);
    ASSERT_EQ(server->DispatchTable->DispatchTableCount, 1u);
    EXPECT_EQ(ImportTarget(reinterpret_cast<const void*>(server->DispatchTable->DispatchTable[0])),
              reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleW(L"rpcrt4.dll"), "NdrAsyncServerCall")));

    const auto* info = static_cast<const MIDL_SERVER_INFO*>(server->InterpreterInfo);
    const std::vector<unsigned char> expectedProc = ProcFormat(0xc3, 8);  // async flag, PRPC_ASYNC_STATE first
    EXPECT_EQ(info->FmtStringOffset[0], 0);
    EXPECT_EQ(std::vector<unsigned char>(info->ProcString, info->ProcString + expectedProc.size()), expectedProc);
    EXPECT_EQ(std::vector<unsigned char>(info->pStubDesc->pFormatTypes, info->pStubDesc->pFormatTypes + kTypeFormat.size()),
              kTypeFormat);
    EXPECT_EQ(info->pStubDesc->pfnAllocate, &MIDL_user_allocate);
    EXPECT_EQ(info->pStubDesc->pfnFree, &MIDL_user_free);
}

}  // namespace
