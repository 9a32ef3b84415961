#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include "base/access_token.h"
#include "base/exception.h"
#include "support/event_capture.h"
#include "support/scratch_registry.h"

namespace {

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"";
    std::wstring copy = text;
    LocalFree(text);
    return copy;
}

// The process user's SID, read without the code under test.
std::wstring ProcessUserSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[256];
    DWORD length = 0;
    GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &length);
    CloseHandle(token);
    return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

}  // namespace

TEST(AccessTokens, TheSidCopyOutlivesItsToken) {
    const int baseline = Base::Object::LiveObjectCount();
    Testing::EventCapture capture;
    Base::UserSid sid;
    {
        auto token = OpenCurrentProcessToken();
        EXPECT_TRUE(capture.Contains(L"Successfully opened token [" + Testing::PointerText(token->Handle()) +
                                     L"] from process [FFFFFFFFFFFFFFFF] desired access [33554432]"));
        sid = Base::GetUserSid(token);
    }
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);  // the token is closed
    ASSERT_TRUE(IsValidSid(sid.get()));
    EXPECT_EQ(SidText(sid.get()), ProcessUserSid());
    EXPECT_EQ(LocalSize(sid.get()), GetLengthSid(sid.get()));
}

TEST(AccessTokens, SessionTokensNameTheSessionsUser) {
    // Wine answers every session with the caller's own token; Windows fails
    // for a session without a user. Either way the result is well defined.
    try {
        auto token = OpenSessionToken(1);
        EXPECT_EQ(SidText(Base::GetUserSid(token).get()), ProcessUserSid());
    } catch (const Base::ExceptionWin32& e) {
        EXPECT_NE(e.Code(), 0u);
    }
}

TEST(AccessTokens, FailuresCarryTheSystemCode) {
    Testing::EventCapture capture;
    // A token object whose handle is not a token.
    const auto bogus = Base::MakeRef<Base::AccessToken>(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    try {
        Base::GetTokenUserInformation(bogus);
        FAIL() << "an event handle is not a token";
    } catch (const Base::ExceptionWin32& e) {
        EXPECT_NE(e.Code(), 0u);
        EXPECT_TRUE(capture.Contains(L"Failed to get token [" + Testing::PointerText(bogus->Handle()) +
                                     L"] information [1] error [" + std::to_wstring(e.Code()) + L"]"));
        EXPECT_THROW(Base::GetUserSid(bogus), Base::ExceptionWin32);
    }
}
