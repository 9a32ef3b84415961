// ValidateDownload: the hash stage in this (unsigned) test process, and the
// certificate stage in a signed copy of a small program that validates in
// its own process, as a signed service does.

#include <gtest/gtest.h>

#include <cryptopp/cryptlib.h>

#include "autoupdate/download_validation.h"
#include "base/exception.h"
#include "installer_fixtures.h"
#include "support/event_capture.h"
#include "support/scratch.h"
#include "support/trusted_root.h"

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = towlower(c);
    return text;
}

}  // namespace

TEST(DownloadValidation, HashStageInAnUnsignedProcess) {
    Testing::ScratchFolder scratch;
    std::wstring digest;
    Sha256OfFile(scratch.WriteFile(L"probe.exe", "installer bytes"), L"", digest);
    ASSERT_EQ(digest.size(), 64u);
    const std::wstring wrong(64, L'0');
    struct Case {
        const wchar_t* name;  // outside every narrow code page in one row
        std::wstring expectedHash;
        const char* error;  // null: passes and the file stays
    };
    const std::string mismatch = "Binary failed Sha256 validation. Hash [" + ToNarrow(wrong) +
                                 "] does not match computed hash [" + ToNarrow(digest) + "].";
    const Case cases[] = {
        {L"upper.exe", digest, nullptr},
        {L"lower.exe", Lower(digest), nullptr},
        {L"none.exe", L"", nullptr},
        {L"\u0416\u4E2D\u00E9.exe", digest, nullptr},
        {L"wrong.exe", wrong, mismatch.c_str()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = scratch.WriteFile(c.name, "installer bytes");
        Testing::EventCapture capture;
        if (c.error == nullptr) {
            EXPECT_NO_THROW(ValidateDownload(c.expectedHash, path));
            EXPECT_TRUE(Exists(path));
        } else {
            try {
                ValidateDownload(c.expectedHash, path);
                ADD_FAILURE() << "no exception";
            } catch (const AutoUpdateException& e) {
                EXPECT_STREQ(e.what(), c.error);
            }
            EXPECT_TRUE(capture.Contains(L"Binary has failed Sha256 validation check. Deleting invalid file."));
            EXPECT_FALSE(Exists(path));
        }
        EXPECT_EQ(capture.Contains(L"Unable to validate file integrity as no hash has been provided. Assuming all ok."),
                  c.expectedHash.empty());
        EXPECT_EQ(capture.Contains(L"Computing Sha256 hash for file: [" + path + L"]"), !c.expectedHash.empty());
        if (c.error == nullptr) {
            EXPECT_TRUE(capture.Contains(
                L"Skipping certificate checks on downloaded binary as update service is not signed."));
        }
    }
    std::wstring unused;
    EXPECT_THROW(Sha256OfFile(scratch.File(L"missing.exe"), digest, unused), CryptoPP::Exception);
}

TEST(DownloadValidation, SignedServiceAcceptsOnlyInstallersSignedForTheCompany) {
    Testing::TrustedRootCertificate company(Testing::InstallerFixture(L"certs\\company.pem"));
    Testing::TrustedRootCertificate mixedCase(Testing::InstallerFixture(L"certs\\mixed_case.pem"));
    Testing::TrustedRootCertificate other(Testing::InstallerFixture(L"certs\\other.pem"));
    ASSERT_TRUE(company.Added() && mixedCase.Added() && other.Added());
    const char kRejected[] =
        "failed: Binary failed certificate validation. Certificate missing or not issued from Veltrastone.";
    struct Case {
        const wchar_t* validator;
        const wchar_t* installer;
        const char* verdict;
    };
    const Case cases[] = {
        {L"download_validator_signed.exe", L"test_installer_company.exe", "passed"},
        {L"download_validator_signed.exe", L"test_installer_mixed_case.exe", "passed"},
        {L"download_validator_signed.exe", L"test_installer_other.exe", kRejected},
        {L"download_validator_signed.exe", L"test_installer.exe", kRejected},
        {L"download_validator_signed.exe", L"test_installer_tampered.exe", kRejected},
        {nullptr, L"test_installer.exe", "passed"},
    };
    Testing::ScratchFolder scratch;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.installer);
        const std::wstring validator = c.validator ? Testing::InstallerFixture(c.validator)
                                                   : Testing::TestBinaryFolder() + L"\\download_validator.exe";
        const std::wstring copy = scratch.File(c.installer);
        ASSERT_TRUE(CopyFileW(Testing::InstallerFixture(c.installer).c_str(), copy.c_str(), FALSE));
        const auto result = Testing::RunToEnd(L"\"" + validator + L"\" - \"" + copy + L"\"");
        EXPECT_NE(result.output.find(std::string(c.verdict) + "\n"), std::string::npos) << result.output;
        const bool passed = std::string(c.verdict) == "passed";
        EXPECT_EQ(Exists(copy), passed);
        EXPECT_EQ(result.output.find("WinVerifyTrust on current process returned: [1]") != std::string::npos,
                  c.validator != nullptr) << result.output;
    }
}
