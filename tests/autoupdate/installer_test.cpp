// RunInstaller with the test installer, the bounded related-product
// enumeration, and Uninstall against real bundle entries in the machine's
// Uninstall keys and real packages installed by msiexec. Suites named
// Worker* run alone: they change what the machine has installed.

#include <windows.h>
#include <msi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "autoupdate/installer.h"
#include "autoupdate/update_controller.h"
#include "base/exception.h"
#include "installer_fixtures.h"
#include "support/event_capture.h"
#include "support/scratch.h"

namespace {

const std::wstring kSilent = L" /quiet /norestart ";

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct Package {
    const wchar_t* file;
    const wchar_t* productCode;
    const wchar_t* upgradeCode;
};
const Package kClient64{L"client64.msi", L"{5B0E2A6C-8C1D-4F59-9C43-6A1D7E3F2B01}", kClient64UpgradeCode};
const Package kClient86{L"client86.msi", L"{7D4A1F3E-2B6C-4E8D-A1F0-3C9B5E7D2A02}", kClient86UpgradeCode};

bool IsInstalled(const Package& package) {
    return MsiQueryProductStateW(package.productCode) == INSTALLSTATE_DEFAULT;
}

// A bundle entry in one of the machine's Uninstall keys, removed afterwards.
class BundleEntry {
public:
    BundleEntry(const std::wstring& uninstallKey, const std::wstring& name, const std::wstring& code,
                const std::wstring& command)
        : path(uninstallKey + L"\\KxTestBundle-" + name) {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
        const std::wstring codes = code + L'\0' + L'\0';
        RegSetValueExW(key, L"BundleUpgradeCode", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(codes.c_str()),
                       static_cast<DWORD>(codes.size() * sizeof(wchar_t)));
        RegSetValueExW(key, L"UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    ~BundleEntry() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str()); RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()); }

private:
    std::wstring path;
};

// A client package installed by msiexec for one test, removed if still there.
class InstalledPackage {
public:
    explicit InstalledPackage(const Package& package) : package(package) {
        Testing::RunToEnd(L"msiexec /i \"" + Testing::InstallerFixture(package.file) + L"\" /quiet");
    }
    ~InstalledPackage() {
        if (IsInstalled(package)) Testing::RunToEnd(L"msiexec /x " + std::wstring(package.productCode) + L" /quiet");
    }

private:
    Package package;
};

}  // namespace

TEST(Installer, RunsSilentlyInTheWorkingFolderAndReportsAProgramThatCannotStart) {
    Testing::ScratchFolder scratch;
    const std::wstring program = Testing::InstallerFixture(L"test_installer.exe");
    const std::wstring args = L"--exit-code=3010 --record=" + scratch.File(L"record.txt");
    EXPECT_EQ(RunInstaller(scratch.Path(), program, args), 3010u);
    const auto runs = Testing::ReadInstallerRecord(scratch.File(L"record.txt"));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].folder, scratch.Path());
    EXPECT_EQ(runs[0].commandLine, program + kSilent + args);

    Testing::EventCapture capture;
    EXPECT_EQ(RunInstaller(scratch.Path(), scratch.File(L"missing.exe"), L""), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(capture.Contains(L"CreateProcess failed (2)"));
}

TEST(Installer, AnInstallerPathWithABlankIsQuoted) {
    Testing::ScratchFolder scratch;
    CreateDirectoryW(scratch.File(L"Some Folder").c_str(), nullptr);
    const std::wstring installer = scratch.File(L"Some Folder\\setup.exe");
    const std::wstring planted = scratch.File(L"Some.exe");
    for (const std::wstring& copy : {installer, planted}) {
        ASSERT_TRUE(CopyFileW(Testing::InstallerFixture(L"test_installer.exe").c_str(), copy.c_str(), FALSE));
    }
    UpdateController controller;
    controller.Install(scratch.Path(), installer);
    EXPECT_EQ(Testing::ReadInstallerRecord(installer + L".record.txt").size(), 1u);
    EXPECT_FALSE(Exists(planted + L".record.txt"));
}

// A registration whose every entry fails must not keep the enumeration going.
TEST(Installer, RelatedProductEnumerationGivesUpAfterRepeatedFailures) {
    const wchar_t kUpgradeCode[] = L"{B0B0CAFE-1234-4321-ABCD-0123456789AB}";
    // The same code in Windows Installer's packed form, under the key Windows
    // reads and under the one Wine reads.
    const std::wstring keys[] = {
        L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\EFAC0B0B43211234BADC1032547698BA",
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\EFAC0B0B43211234BADC1032547698BA",
    };
    struct Case {
        int broken;
        bool found;
    };
    for (const Case c : {Case{3, true}, Case{40, false}}) {
        for (const std::wstring& path : keys) {
            HKEY key = nullptr;
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
            // Names too long for a packed product code fail their index; the
            // packed code of {5B0E2A6C-8C1D-4F59-9C43-6A1D7E3F2B01} sorts after them.
            for (int i = 0; i < c.broken; ++i) {
                const std::wstring name = L"0000000000000000000000000000000000000000" + std::to_wstring(100 + i);
                RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t));
            }
            RegSetValueExW(key, L"C6A2E0B5D1C895F4C934A6D1E7F3B210", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""),
                           sizeof(wchar_t));
            RegCloseKey(key);
        }
        Testing::EventCapture capture;
        std::wstring product;
        EXPECT_EQ(FindRelatedProduct(kUpgradeCode, product), c.found) << c.broken;
        EXPECT_EQ(capture.Contains(std::wstring(L"Stopped enumerating products related to [") + kUpgradeCode +
                                   L"] after [16] failed indexes, last error [234]"),
                  !c.found);
        if (c.found) {
            EXPECT_EQ(product, L"{5B0E2A6C-8C1D-4F59-9C43-6A1D7E3F2B01}");
        }
        for (const std::wstring& path : keys) RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    }
}

TEST(WorkerUninstall, RemovesTheBundleAndBothClientPackagesUntilAStepFails) {
    struct Bundle {
        const wchar_t* key;
        const wchar_t* name;
        const wchar_t* code;
        const wchar_t* exit;
    };
    struct Case {
        const char* what;
        std::vector<Bundle> bundles;
        std::vector<Package> packages;
        std::vector<std::wstring> uninstallersRun;
        std::string error;  // empty: success
    };
    const std::wstring lowerCode = L"{6cbfb5aa-79a5-4d17-979f-413e4dd253ba}";
    const Case cases[] = {
        {"bundle in the second key, both packages",
         {{kUninstallKeyNative, L"native", kBundleUpgradeCode, L"0"}},
         {kClient64, kClient86},
         {L"native"},
         ""},
        {"bundles in both keys: WOW6432Node wins; the 32-bit package alone",
         {{kUninstallKeyWow64, L"wow", kBundleUpgradeCode, L"0"},
          {kUninstallKeyNative, L"native", kBundleUpgradeCode, L"0"}},
         {kClient86},
         {L"wow"},
         ""},
        {"lower-case code; the last match wins",
         {{kUninstallKeyWow64, L"a", lowerCode.c_str(), L"3010"}, {kUninstallKeyWow64, L"b", lowerCode.c_str(), L"1641"}},
         {},
         {L"b"},
         ""},
        {"nothing installed", {}, {}, {}, ""},
        {"a failing bundle uninstaller stops the removal",
         {{kUninstallKeyNative, L"failing", kBundleUpgradeCode, L"1603"}},
         {kClient64},
         {L"failing"},
         AutoUpdateException("Uninstall of bootstrapper.exe failed.", 1603).what()},
    };
    const std::wstring program = Testing::InstallerFixture(L"test_installer.exe");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Testing::ScratchFolder scratch;
        std::vector<std::unique_ptr<BundleEntry>> bundles;
        for (const Bundle& b : c.bundles) {
            const std::wstring command =
                program + L" --exit-code=" + b.exit + L" --record=" + scratch.File(std::wstring(b.name) + L".txt");
            bundles.push_back(std::make_unique<BundleEntry>(b.key, b.name, b.code, command));
        }
        std::vector<std::unique_ptr<InstalledPackage>> installed;
        for (const Package& package : c.packages) {
            installed.push_back(std::make_unique<InstalledPackage>(package));
            ASSERT_TRUE(IsInstalled(package)) << package.file;
        }

        Testing::EventCapture capture;
        UpdateController controller;
        try {
            controller.Uninstall(scratch.Path());
            EXPECT_EQ(c.error, "");
            EXPECT_TRUE(capture.Contains(L"Completed uninstall"));
        } catch (const AutoUpdateException& e) {
            EXPECT_EQ(e.what(), c.error);
        }
        EXPECT_EQ(controller.ProgressLocked().status, Uninstalling);
        for (const Bundle& b : c.bundles) {
            const auto runs = Testing::ReadInstallerRecord(scratch.File(std::wstring(b.name) + L".txt"));
            const bool expected = std::find(c.uninstallersRun.begin(), c.uninstallersRun.end(), b.name) !=
                                  c.uninstallersRun.end();
            ASSERT_EQ(runs.size(), expected ? 1u : 0u) << b.name;
            if (expected) {
                EXPECT_EQ(runs[0].folder, scratch.Path());
            }
        }
        for (const Package& package : c.packages) {
            std::wstring product;
            EXPECT_EQ(IsInstalled(package), !c.error.empty()) << package.file;
            EXPECT_EQ(FindRelatedProduct(package.upgradeCode, product), !c.error.empty()) << package.file;
            const std::wstring log = package.file == kClient64.file ? L"client64_uninstall.txt" : L"client86_uninstall.txt";
            EXPECT_EQ(Exists(scratch.File(log)), c.error.empty()) << package.file;
            if (c.error.empty()) {
                EXPECT_TRUE(capture.Contains(L"Executing commandline: [msiexec" + kSilent + L"/x " + package.productCode +
                                             L" /lv*x " + log + L"]"));
            }
        }
        if (c.bundles.empty() && c.packages.empty()) {
            EXPECT_TRUE(capture.Contains(L"Beginning uninstall"));
            for (const auto& message : capture.Messages()) EXPECT_NE(message.rfind(L"Executing commandline", 0), 0u);
        }
    }
}
