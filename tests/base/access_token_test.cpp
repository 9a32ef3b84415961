#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include "base/access_token.h"
#include "base/exception.h"
#include "support/event_capture.h"
#include "support/scratch_registry.h"

namespace {

std::wstring SidText(PSID sid) {
    Base::UniqueLocalMemory text;
    if (!ConvertSidToStringSidW(sid, reinterpret_cast<wchar_t**>(text.Put()))) return L"";
    return static_cast<const wchar_t*>(text.Get());
}

// The process user's SID, read without the code under test.
std::wstring ProcessUserSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    const Base::UniqueHandle owner(token);
    BYTE buffer[256];
    DWORD length = 0;
    GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &length);
    return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

}  // namespace

TEST(AccessTokens, TheSidCopyOutlivesItsToken) {
    const int baseline = Base::Object::LiveObjectCount();
    Base::UserSid sid = Base::GetUserSid(OpenCurrentProcessToken());
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);  // the token is closed
    ASSERT_TRUE(IsValidSid(sid.Get()));
    EXPECT_EQ(SidText(sid.Get()), ProcessUserSid());
    EXPECT_EQ(LocalSize(sid.Get()), GetLengthSid(sid.Get()));
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
