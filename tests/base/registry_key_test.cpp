#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "base/registry_key.h"
#include "base/unique_any.h"
#include "support/child_process.h"
#include "support/event_capture.h"

using Testing::PointerText;

namespace {

// A key below HKCU\Software that exists for one test, with its subtree.
struct ScratchKey {
    ScratchKey() {
        RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, raw.Put(), nullptr);
    }
    ~ScratchKey() { RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()); }
    // A RegistryKey of its own on the same key.
    Base::Ref<RegistryKey> Open() const {
        HKEY copy = nullptr;
        RegOpenKeyExW(raw.Get(), nullptr, 0, KEY_ALL_ACCESS, &copy);
        return Base::MakeRef<RegistryKey>(copy);
    }

    const std::wstring name =
        L"KxTests-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(uintptr_t(this) & 0xFFFFFF);
    const std::wstring path = L"Software\\" + name;
    Base::UniqueRegKey raw;
};

}  // namespace

// The watch must be asynchronous and see changes made by another process.
TEST(RegistryKeySubKeys, CreateOpenDetectDeleteWatchAndFail) {
    ScratchKey scratch;
    const auto parent = scratch.Open();
    const Base::UniqueHandle changed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    parent->WatchForChanges(true, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed.Get());
    ASSERT_EQ(Testing::RunToEnd(L"reg.exe add \"HKCU\\" + scratch.path + L"\\Child\" /v Value /d 1 /f").exitCode, 0u);
    EXPECT_EQ(WaitForSingleObject(changed.Get(), 10000), WAIT_OBJECT_0);
    parent->CreateSubKey(L"A\\B", 0, KEY_ALL_ACCESS);
    parent->CreateSubKey(L"A\\B", 0, KEY_READ);  // an existing key opens
    EXPECT_TRUE(parent->SubKeyExists(L"A\\B", KEY_READ));
    parent->OpenSubKey(L"A", KEY_READ);
    Testing::EventCapture capture;
    parent->DeleteTree(L"A");
    parent->DeleteTree(L"A");  // a missing subtree is not an error
    EXPECT_FALSE(parent->SubKeyExists(L"A", KEY_READ));
    EXPECT_EQ(capture.Count(L"failed"), 0u);
    try {
        parent->OpenSubKey(L"A", KEY_READ);
        FAIL() << "opening a missing key must throw";
    } catch (const Base::ExceptionWin32& e) {
        EXPECT_EQ(e.Code(), 2u);
        EXPECT_EQ(std::string(e.what()).rfind("Failed to open registry key - ", 0), 0u);
    }
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + PointerText(parent->Handle()) +
                                 L"] failed to open subkey [A] desired [131097] error [2]"));

    // Other failures: a handle value that was never opened makes every call fail with 6.
    const auto bogus = Base::MakeRef<RegistryKey>(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x7ff0)));
    try {
        bogus->SubKeyExists(L"X", KEY_READ);
        FAIL();
    } catch (const Base::ExceptionWin32& e) {
        EXPECT_EQ(e.Code(), 6u);
        EXPECT_EQ(std::string(e.what()).rfind("Failed to detect registry key", 0), 0u);
    }
    std::wstring out;
    EXPECT_THROW(bogus->DeleteTree(L"X"), Base::ExceptionWin32);
    EXPECT_THROW(bogus->CreateSubKey(L"X", 0, KEY_READ), Base::ExceptionWin32);
    EXPECT_THROW(bogus->SetDword(L"v", 1), Base::ExceptionWin32);
    EXPECT_THROW(bogus->SetString(L"v", L"s"), Base::ExceptionWin32);
    EXPECT_THROW(bogus->QueryString(L"v", out), Base::ExceptionWin32);
    EXPECT_THROW(bogus->WatchForChanges(true, 5, CreateEventW(nullptr, FALSE, FALSE, nullptr)), Base::ExceptionWin32);
    const std::wstring failed = L"Registry Key [" + PointerText(bogus->Handle()) + L"] failed to ";
    for (const wchar_t* line : {L"detect subkey [X] desired [131097] error [6]", L"delete recursive subkey [X] error [6]",
                                L"set dword name [v] value [1] error [6]", L"set string name [v] value [s] error [6]",
                                L"query STRING name [v] error [6]"}) {
        EXPECT_TRUE(capture.Contains(failed + line)) << line;
    }
}

TEST(RegistryKeyValues, StoredAsTheSystemExpectsAndReadBackInEveryShape) {
    ScratchKey scratch;
    const auto key = scratch.Open();
    const HKEY raw = scratch.raw.Get();
    key->SetString(L"Name", L"kxclient.dll");
    key->SetDword(L"Count", 0xFFFFFFFF);
    DWORD value = 0, size = sizeof(value), type = 0;
    RegQueryValueExW(raw, L"Count", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    size = 0;
    RegQueryValueExW(raw, L"Name", nullptr, nullptr, nullptr, &size);
    EXPECT_EQ(size, 26u);  // the terminating NUL is stored

    const wchar_t padded[] = L"abc\0\0\0";
    const wchar_t expand[] = L"%SystemRoot%\\kx";
    const BYTE odd[] = {'x', 0, 'y'};  // three bytes: half a unit at the end
    RegSetValueExW(raw, L"Padded", 0, REG_SZ, reinterpret_cast<const BYTE*>(padded), sizeof(padded));
    RegSetValueExW(raw, L"Empty", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), 2);
    RegSetValueExW(raw, L"NoBytes", 0, REG_SZ, nullptr, 0);
    RegSetValueExW(raw, L"Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expand), sizeof(expand));
    RegSetValueExW(raw, L"Odd", 0, REG_SZ, odd, sizeof(odd));
    const std::pair<const wchar_t*, const wchar_t*> shapes[] = {{L"Name", L"kxclient.dll"}, {L"Padded", L"abc"},
                                                                {L"Empty", L""},            {L"NoBytes", L""},
                                                                {L"Expand", expand},        {L"Odd", L"x"}};
    for (const auto& [name, expected] : shapes) {
        std::wstring out = L"x";
        ASSERT_TRUE(key->QueryString(name, out)) << name;
        EXPECT_EQ(*name == L'O' ? out.substr(0, 1) : out, expected) << name;  // the half unit may read as anything
    }

    std::wstring out = L"untouched";
    EXPECT_FALSE(key->QueryString(L"Missing", out));
    Testing::EventCapture capture;
    // Its text, the same for every caller, is checked in the monitors' failure lines.
    EXPECT_THROW(key->QueryString(L"Count", out), Base::Exception);
    EXPECT_EQ(out, L"untouched");
    EXPECT_TRUE(capture.Contains(L"Registry Key [" + PointerText(key->Handle()) +
                                 L"] failed to query STRING name [Count] type [4] size [4]"));
}

TEST(RegistryKeyPath, KernelNamesOfRootsUserAndMachineKeysAlsoFromManyThreads) {
    const std::pair<HKEY, const wchar_t*> roots[] = {{HKEY_LOCAL_MACHINE, L"\\REGISTRY\\MACHINE"},
                                                     {HKEY_USERS, L"\\REGISTRY\\USER"},
                                                     {HKEY_CURRENT_USER, L"\\REGISTRY\\USER\\CURRENT"}};
    for (const auto& [root, path] : roots) EXPECT_EQ(RegistryKey::Root(root)->GetPath(), path);
    ScratchKey scratch;
    const std::wstring path = scratch.Open()->GetPath();
    // HKCU is the user's key below \REGISTRY\USER\<sid>.
    EXPECT_EQ(_wcsnicmp(path.c_str(), L"\\REGISTRY\\USER\\S-1-5-", 20), 0) << path;
    EXPECT_NE(path.find(L"\\" + scratch.name), std::wstring::npos) << path;
    const auto software64 = RegistryKey::Root(HKEY_LOCAL_MACHINE)->OpenSubKey(L"Software", KEY_READ | KEY_WOW64_64KEY);
    EXPECT_EQ(_wcsicmp(software64->GetPath().c_str(), L"\\REGISTRY\\MACHINE\\Software"), 0);

    // The first calls of a process race to look NtQueryKey up.
    const wchar_t* const kWow64Software = L"\\REGISTRY\\MACHINE\\Software\\Wow6432Node";
    const auto software32 = RegistryKey::Root(HKEY_LOCAL_MACHINE)->OpenSubKey(L"Software", KEY_READ | KEY_WOW64_32KEY);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 50; ++j) mismatches += _wcsicmp(software32->GetPath().c_str(), kWow64Software) != 0;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}
