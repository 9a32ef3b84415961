#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "base/registry_key.h"
#include "support/child_process.h"
#include "support/event_capture.h"
#include "support/scratch_registry.h"

using Testing::PointerText;

namespace {

Base::Ref<RegistryKey> Wrap(HKEY handle) {
    // The scratch key keeps its own handle; the wrapper gets a duplicate.
    HKEY copy = nullptr;
    RegOpenKeyExW(handle, nullptr, 0, KEY_ALL_ACCESS, &copy);
    return Base::MakeRef<RegistryKey>(copy);
}

std::wstring RawString(HKEY key, const wchar_t* name, DWORD* bytes) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer);
    RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    *bytes = size;
    return buffer;
}

}  // namespace

TEST(RegistryKeyRoots, PredefinedRootsAreNeverClosed) {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_USER}) {
        RegistryKey::Root(root).Reset();
        HKEY software = nullptr;
        ASSERT_EQ(RegOpenKeyExW(root, root == HKEY_USERS ? L".DEFAULT" : L"Software", 0, KEY_READ, &software), 0);
        RegCloseKey(software);
    }
}

TEST(RegistryKeyRoots, RootPathsNeedNoSystemCall) {
    Testing::EventCapture capture;
    EXPECT_EQ(RegistryKey::Root(HKEY_LOCAL_MACHINE)->GetPath(), L"\\REGISTRY\\MACHINE");
    EXPECT_EQ(RegistryKey::Root(HKEY_USERS)->GetPath(), L"\\REGISTRY\\USER");
    EXPECT_EQ(RegistryKey::Root(HKEY_CURRENT_USER)->GetPath(), L"\\REGISTRY\\USER\\CURRENT");
    EXPECT_TRUE(capture.Messages().empty());
}

TEST(RegistryKeySubKeys, CreateOpenDetectAndDeleteWithTheirTraceLines) {
    Testing::ScratchRegistryKey scratch;
    const auto parent = Wrap(scratch.Handle());
    const std::wstring parentText = PointerText(parent->Handle());
    Testing::EventCapture capture;

    const auto created = parent->CreateSubKey(L"A\\B", 0, KEY_ALL_ACCESS);
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + parentText + L"] successfully created key [" +
                                 PointerText(created->Handle()) + L"] subkey [A\\B] options [0] desired [983103] "
                                 L"disposition [1]"));
    const auto again = parent->CreateSubKey(L"A\\B", 0, KEY_READ);
    EXPECT_NE(capture.Messages().back().find(L"disposition [2]"), std::wstring::npos);  // opened, not created

    const auto opened = parent->OpenSubKey(L"A", KEY_READ);
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + parentText + L"] successfully opened key [" +
                                 PointerText(opened->Handle()) + L"] subkey [A] desired [131097]"));
    EXPECT_TRUE(parent->SubKeyExists(L"A\\B", KEY_READ));
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + parentText + L"] found subkey [A\\B] desired [131097]"));

    capture.Clear();
    parent->DeleteTree(L"A");
    parent->DeleteTree(L"A");  // a missing subtree is not an error, and says nothing
    EXPECT_TRUE(capture.Messages().empty());
    EXPECT_FALSE(parent->SubKeyExists(L"A", KEY_READ));
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + parentText + L"] did not find subkey [A] desired [131097]"));

    try {
        parent->OpenSubKey(L"A", KEY_READ);
        FAIL() << "opening a missing key must throw";
    } catch (const Base::ExceptionWin32& e) {
        EXPECT_EQ(e.Code(), 2u);
        EXPECT_EQ(std::string(e.what()).rfind("Failed to open registry key - ", 0), 0u);
    }
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + parentText + L"] failed to open subkey [A] desired [131097] "
                                 L"error [2]"));
}

TEST(RegistryKeySubKeys, FailuresOtherThanNotFoundAreThrown) {
    // A handle value that was never opened: every call fails with 6.
    const auto bogus = Base::MakeRef<RegistryKey>(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x7ff0)));
    Testing::EventCapture capture;
    try {
        bogus->SubKeyExists(L"X", KEY_READ);
        FAIL();
    } catch (const Base::ExceptionWin32& e) {
        EXPECT_EQ(e.Code(), 6u);
        EXPECT_EQ(std::string(e.what()).rfind("Failed to detect registry key", 0), 0u);
    }
    EXPECT_THROW(bogus->DeleteTree(L"X"), Base::ExceptionWin32);
    EXPECT_THROW(bogus->CreateSubKey(L"X", 0, KEY_READ), Base::ExceptionWin32);
    EXPECT_THROW(bogus->SetDword(L"v", 1), Base::ExceptionWin32);
    EXPECT_THROW(bogus->SetString(L"v", L"s"), Base::ExceptionWin32);
    std::wstring out;
    EXPECT_THROW(bogus->QueryString(L"v", out), Base::ExceptionWin32);
    EXPECT_THROW(bogus->WatchForChanges(true, 5, CreateEventW(nullptr, FALSE, FALSE, nullptr)), Base::ExceptionWin32);
    const std::wstring text = PointerText(bogus->Handle());
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + text + L"] failed to detect subkey [X] desired [131097] error [6]"));
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + text + L"] failed to delete recursive subkey [X] error [6]"));
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + text + L"] failed to set dword name [v] value [1] error [6]"));
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + text + L"] failed to set string name [v] value [s] error [6]"));
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + text + L"] failed to query STRING name [v] error [6]"));
}

TEST(RegistryKeyValues, StringsAndDwordsAreStoredAsTheSystemExpects) {
    Testing::ScratchRegistryKey scratch;
    const auto key = Wrap(scratch.Handle());
    Testing::EventCapture capture;
    key->SetString(L"Name", L"kxclient.dll");
    DWORD bytes = 0;
    EXPECT_EQ(RawString(scratch.Handle(), L"Name", &bytes), L"kxclient.dll");
    EXPECT_EQ(bytes, 26u);  // the terminating NUL is stored
    key->SetDword(L"Count", 0xFFFFFFFF);
    DWORD value = 0, size = sizeof(value), type = 0;
    RegQueryValueExW(scratch.Handle(), L"Count", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    const std::wstring text = PointerText(key->Handle());
    EXPECT_TRUE(capture.Contains(L"Registry key [" + text + L"] set string name [Name] value [kxclient.dll]"));
    EXPECT_TRUE(capture.Contains(L"Registry key [" + text + L"] set dword name [Count] value [4294967295]"));
}

TEST(RegistryKeyValues, QueryStringHandlesEveryStoredShape) {
    Testing::ScratchRegistryKey scratch;
    const auto key = Wrap(scratch.Handle());
    const HKEY raw = scratch.Handle();
    const wchar_t padded[] = L"abc\0\0\0";
    RegSetValueExW(raw, L"Padded", 0, REG_SZ, reinterpret_cast<const BYTE*>(padded), sizeof(padded));
    RegSetValueExW(raw, L"Empty", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), 2);
    RegSetValueExW(raw, L"NoBytes", 0, REG_SZ, nullptr, 0);
    const wchar_t expand[] = L"%SystemRoot%\\kx";
    RegSetValueExW(raw, L"Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expand), sizeof(expand));
    const BYTE odd[] = {'x', 0, 'y'};  // three bytes: half a unit at the end
    RegSetValueExW(raw, L"Odd", 0, REG_SZ, odd, sizeof(odd));
    const DWORD number = 7;
    RegSetValueExW(raw, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));

    std::wstring out;
    ASSERT_TRUE(key->QueryString(L"Padded", out));
    EXPECT_EQ(out, L"abc");
    ASSERT_TRUE(key->QueryString(L"Empty", out));
    EXPECT_EQ(out, L"");
    out = L"x";
    ASSERT_TRUE(key->QueryString(L"NoBytes", out));
    EXPECT_EQ(out, L"");
    ASSERT_TRUE(key->QueryString(L"Expand", out));
    EXPECT_EQ(out, L"%SystemRoot%\\kx");
    ASSERT_TRUE(key->QueryString(L"Odd", out));
    EXPECT_EQ(out.substr(0, 1), L"x");

    out = L"untouched";
    Testing::EventCapture capture;
    EXPECT_FALSE(key->QueryString(L"Missing", out));
    EXPECT_EQ(out, L"untouched");
    EXPECT_TRUE(capture.Contains(L"Registry key [" + PointerText(key->Handle()) +
                                 L"] did not find STRING name [Missing]"));
    try {
        key->QueryString(L"Number", out);
        FAIL();
    } catch (const Base::ExceptionWin32&) {
        FAIL() << "a type mismatch carries no error code";
    } catch (const Base::Exception& e) {
        EXPECT_STREQ(e.what(), "Unable to convert STRING registry value");
    }
    EXPECT_EQ(out, L"untouched");
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + PointerText(key->Handle()) +
                                 L"] failed to query STRING name [Number] type [4] size [4]"));
}

TEST(RegistryKeyPath, KernelNamesOfUserAndMachineKeys) {
    Testing::ScratchRegistryKey scratch;
    const auto key = Wrap(scratch.Handle());
    const std::wstring path = key->GetPath();
    // HKCU is the user's key below \REGISTRY\USER\<sid>.
    EXPECT_EQ(_wcsnicmp(path.c_str(), L"\\REGISTRY\\USER\\S-1-5-", 20), 0) << path;
    EXPECT_NE(path.find(L"\\" + scratch.SubKey().substr(scratch.SubKey().rfind(L'\\') + 1)), std::wstring::npos);

    const auto software32 = RegistryKey::Root(HKEY_LOCAL_MACHINE)->OpenSubKey(L"Software", KEY_READ | KEY_WOW64_32KEY);
    const std::wstring path32 = software32->GetPath();
    EXPECT_EQ(_wcsicmp(path32.c_str(), L"\\REGISTRY\\MACHINE\\Software\\Wow6432Node"), 0) << path32;
    const auto software64 = RegistryKey::Root(HKEY_LOCAL_MACHINE)->OpenSubKey(L"Software", KEY_READ | KEY_WOW64_64KEY);
    EXPECT_EQ(_wcsicmp(software64->GetPath().c_str(), L"\\REGISTRY\\MACHINE\\Software"), 0);
}

TEST(RegistryKeyPath, ConcurrentFirstCallsAgree) {
    const auto software = RegistryKey::Root(HKEY_LOCAL_MACHINE)->OpenSubKey(L"Software", KEY_READ);
    const std::wstring expected = software->GetPath();
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 50; ++j) {
                if (software->GetPath() != expected) ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(RegistryKeyWatch, AnotherProcessSignalsTheArmedEventOnce) {
    Testing::ScratchRegistryKey scratch;
    const auto key = Wrap(scratch.Handle());
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Testing::EventCapture capture;
    key->WatchForChanges(true, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed);
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + PointerText(key->Handle()) +
                                 L"] is watching for changes subtree [1] filter [5] event [" + PointerText(changed) +
                                 L"]"));
    const std::wstring add = L"reg.exe add \"HKCU\\" + scratch.SubKey() + L"\\Child\" /v Value /d 1 /f";
    ASSERT_EQ(Testing::RunToEnd(add).exitCode, 0u);
    EXPECT_EQ(WaitForSingleObject(changed, 10000), WAIT_OBJECT_0);
    // One shot: without arming again, further changes signal nothing.
    ASSERT_EQ(Testing::RunToEnd(add).exitCode, 0u);
    EXPECT_EQ(WaitForSingleObject(changed, 500), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(changed);
}
