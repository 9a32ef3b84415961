// RunInstaller with the test installer, the bounded related-product
// enumeration, and Uninstall against real bundle entries in the machine's
// Uninstall keys and real packages installed by msiexec (WorkerUninstall
// changes what the machine has installed, so it runs alone).

#include <windows.h>
#include <msi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "autoupdate/installer.h"
#include "autoupdate/update_controller.h"
#include "base/exception.h"
#include "base/file_info.h"
#include "installer_fixtures.h"
#include "instruction_helpers.h"
#include "support/event_capture.h"
#include "support/scratch.h"

namespace {

void SetValue(const std::wstring& key, const wchar_t* name, DWORD type, const std::wstring& data) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, type, data.c_str(),
                    static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

struct Package {
    const wchar_t* file;
    const wchar_t* productCode;
    const wchar_t* log;
};
const Package kClient64{L"client64.msi", L"{5B0E2A6C-8C1D-4F59-9C43-6A1D7E3F2B01}", L"client64_uninstall.txt"};
const Package kClient86{L"client86.msi", L"{7D4A1F3E-2B6C-4E8D-A1F0-3C9B5E7D2A02}", L"client86_uninstall.txt"};

bool IsInstalled(const Package& package) { return MsiQueryProductStateW(package.productCode) == INSTALLSTATE_DEFAULT; }

}  // namespace

// A blank in the installer's path must not start "Some.exe" instead.
TEST(Installer, RunsTheQuotedInstallerPathOrYieldsTheSystemError) {
    Testing::ScratchFolder scratch;
    EXPECT_EQ(RunInstaller(scratch.Path(), scratch.File(L"missing.exe"), L""), 2u);
    CreateDirectoryW(scratch.File(L"Some Folder").c_str(), nullptr);
    const std::wstring installer = scratch.File(L"Some Folder\\setup.exe");
    const std::wstring planted = scratch.File(L"Some.exe");
    for (const std::wstring& copy : {installer, planted}) {
        ASSERT_TRUE(CopyFileW(Testing::InstallerFixture(L"test_installer.exe").c_str(), copy.c_str(), FALSE));
    }
    UpdateController().Install(scratch.Path(), InstallerFile(installer));
    EXPECT_EQ(Testing::ReadInstallerRecord(installer + L".record.txt").size(), 1u);
    EXPECT_FALSE(FileExists(planted + L".record.txt"));
}

// A registration whose every further entry fails must not keep the
// enumeration going; one broken entry is only skipped.
TEST(Installer, RelatedProductEnumerationGivesUpAfterRepeatedFailures) {
    const wchar_t kUpgradeCode[] = L"{B0B0CAFE-1234-4321-ABCD-0123456789AB}";
    // That code packed as Windows Installer stores it, where Windows and Wine read it.
    const std::wstring keys[] = {
        L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\EFAC0B0B43211234BADC1032547698BA",
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\EFAC0B0B43211234BADC1032547698BA",
    };
    for (const int broken : {3, 40}) {
        for (const std::wstring& key : keys) {
            // Names too long for a packed product code fail their index; the
            // packed {5B0E2A6C-8C1D-4F59-9C43-6A1D7E3F2B01} sorts after them.
            for (int i = 0; i < broken; ++i) {
                SetValue(key, (std::wstring(40, L'0') + std::to_wstring(100 + i)).c_str(), REG_SZ, L"");
            }
            SetValue(key, L"C6A2E0B5D1C895F4C934A6D1E7F3B210", REG_SZ, L"");
        }
        Testing::EventCapture capture;
        std::wstring product;
        const bool found = FindRelatedProduct(kUpgradeCode, product);
        EXPECT_EQ(found, broken < 16);
        EXPECT_EQ(product, found ? L"{5B0E2A6C-8C1D-4F59-9C43-6A1D7E3F2B01}" : L"");
        EXPECT_EQ(capture.Contains(std::wstring(L"Stopped enumerating products related to [") + kUpgradeCode +
                                   L"] after [16] failed indexes, last error [234]"),
                  !found);
        for (const std::wstring& key : keys) RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    }
}

TEST(WorkerUninstall, RemovesTheBundleAndBothClientPackagesUntilAStepFails) {
    const std::wstring wow = std::wstring(kUninstallKeyWow64) + L"\\KxTestBundle-";
    const std::wstring native = std::wstring(kUninstallKeyNative) + L"\\KxTestBundle-";
    const std::wstring lowerCode = L"{6cbfb5aa-79a5-4d17-979f-413e4dd253ba}";
    struct Bundle {
        std::wstring key;  // ends with the entry's name
        std::wstring code;
        const wchar_t* exitCode;
        bool runs;
    };
    struct Case {
        const char* what;
        std::vector<Bundle> bundles;
        std::vector<Package> packages;
        std::string error;  // empty: success
    };
    const Case cases[] = {
        {"bundle in the second key, both packages", {{native + L"n", kBundleUpgradeCode, L"0", true}},
         {kClient64, kClient86}, ""},
        {"bundles in both keys: WOW6432Node wins; the 32-bit package alone",
         {{wow + L"w", kBundleUpgradeCode, L"0", true}, {native + L"n", kBundleUpgradeCode, L"0", false}},
         {kClient86}, ""},
        {"lower-case code; the last match wins",
         {{wow + L"a", lowerCode, L"3010", false}, {wow + L"b", lowerCode, L"1641", true}}, {}, ""},
        {"nothing installed", {}, {}, ""},
        {"a failing bundle uninstaller stops the removal", {{native + L"f", kBundleUpgradeCode, L"1603", true}},
         {kClient64}, AutoUpdateException("Uninstall of bootstrapper.exe failed.", 1603).what()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Testing::ScratchFolder scratch;
        const auto recordOf = [&](const Bundle& b) { return scratch.File(b.key.substr(b.key.size() - 1) + L".txt"); };
        for (const Bundle& b : c.bundles) {
            SetValue(b.key, L"BundleUpgradeCode", REG_MULTI_SZ, b.code + L'\0');
            SetValue(b.key, L"UninstallString", REG_SZ,
                     Testing::InstallerFixture(L"test_installer.exe") + L" --exit-code=" + b.exitCode +
                         L" --record=" + recordOf(b));
        }
        for (const Package& package : c.packages) {
            Testing::RunToEnd(L"msiexec /i \"" + Testing::InstallerFixture(package.file) + L"\" /quiet");
            EXPECT_TRUE(IsInstalled(package));
        }
        // A program named msiexec in the current folder is never the one started.
        const std::wstring planted = scratch.File(L"msiexec.exe");
        CopyFileW(Testing::InstallerFixture(L"test_installer.exe").c_str(), planted.c_str(), FALSE);
        SetCurrentDirectoryW(scratch.Path().c_str());

        UpdateController controller;
        EXPECT_EQ(Testing::ThrownText([&] { controller.Uninstall(scratch.Path()); }), c.error);
        SetCurrentDirectoryW(Testing::TestBinaryFolder().c_str());
        EXPECT_EQ(controller.ProgressLocked().status, Uninstalling);
        for (const Bundle& b : c.bundles) EXPECT_EQ(Testing::ReadInstallerRecord(recordOf(b)).size(), b.runs ? 1u : 0u);
        for (const Package& package : c.packages) {
            EXPECT_EQ(IsInstalled(package), !c.error.empty());
            EXPECT_EQ(FileExists(scratch.File(package.log)), c.error.empty());
            if (IsInstalled(package)) Testing::RunToEnd(std::wstring(L"msiexec /x ") + package.productCode + L" /quiet");
        }
        for (const Bundle& b : c.bundles) RegDeleteTreeW(HKEY_LOCAL_MACHINE, b.key.c_str());
    }
}
