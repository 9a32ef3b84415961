#include <gtest/gtest.h>

#include <windows.h>

#include "base/access_token.h"
#include "base/exception.h"
#include "support/event_capture.h"

// The copy holds the process user's SID and stays valid once its token is closed.
TEST(AccessTokens, TheSidCopyOutlivesItsToken) {
    const int baseline = Base::Object::LiveObjectCount();
    const Base::UserSid sid = Base::GetUserSid(OpenCurrentProcessToken());
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
    Base::UniqueHandle token;
    BYTE user[256];
    DWORD length = 0;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()) &&
                GetTokenInformation(token.Get(), TokenUser, user, sizeof(user), &length));
    EXPECT_TRUE(EqualSid(sid.Get(), reinterpret_cast<TOKEN_USER*>(user)->User.Sid));
    EXPECT_EQ(LocalSize(sid.Get()), GetLengthSid(sid.Get()));
}

TEST(AccessTokens, FailuresAreLoggedAndThrownWithTheSystemCode) {
    Testing::EventCapture capture;
    const auto notAToken = Base::MakeRef<Base::AccessToken>(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    EXPECT_THROW(Base::GetUserSid(notAToken), Base::ExceptionWin32);
    try {
        Base::GetTokenUserInformation(notAToken);
        FAIL() << "an event handle is not a token";
    } catch (const Base::ExceptionWin32& e) {
        EXPECT_NE(e.Code(), 0u);
        EXPECT_TRUE(capture.Contains(L"Failed to get token [" + Testing::PointerText(notAToken->Handle()) +
                                     L"] information [1] error [" + std::to_wstring(e.Code()) + L"]"));
    }
}
