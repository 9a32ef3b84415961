// ValidateDownload: the hash stage in this (unsigned) test process, and the
// certificate stage in a signed copy of a small program that validates in
// its own process, as a signed service does.

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

#include "autoupdate/download_validation.h"
#include "base/file_info.h"
#include "base/text.h"
#include "installer_fixtures.h"
#include "instruction_helpers.h"
#include "support/host_command.h"
#include "support/scratch.h"
#include "support/trusted_root.h"

TEST(DownloadValidation, HashStageInAnUnsignedProcess) {
    Testing::ScratchFolder scratch;
    const std::wstring digest = Testing::HostSha256(scratch.WriteFile(L"probe.exe", "installer bytes"));
    std::wstring lower = digest;
    std::transform(lower.begin(), lower.end(), lower.begin(), towlower);
    const std::wstring wrong(64, L'0');
    struct Case {
        const wchar_t* name;
        std::wstring expectedHash;
        std::string error;  // empty: passes and the file stays
    };
    const Case cases[] = {
        {L"upper.exe", digest, ""},
        {L"lower.exe", lower, ""},
        {L"none.exe", L"", ""},
        {L"\u0416\u4E2D\u00E9.exe", digest, ""},  // lost in any narrow code page
        {L"wrong.exe", wrong,
         "Binary failed Sha256 validation. Hash [" + ToNarrow(wrong) + "] does not match computed hash [" +
             ToNarrow(digest) + "]."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToNarrow(c.name));
        const std::wstring path = scratch.WriteFile(c.name, "installer bytes");
        EXPECT_EQ(Testing::ThrownText([&] { ValidateDownload(c.expectedHash, path); }), c.error);
        EXPECT_EQ(FileExists(path), c.error.empty());
    }
    // The url's hash names a cache file: its digest in upper-case hexadecimal.
    EXPECT_EQ(Sha256OfText(L""), L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
}

TEST(DownloadValidation, SignedServiceAcceptsOnlyInstallersSignedForTheCompany) {
    // The company's own signature and none at all are the end-to-end update's
    // cases; its root is trusted so that only the tampering refuses the tampered copy.
    Testing::TrustedRootCertificate company(Testing::InstallerFixture(L"certs\\company.pem"));
    Testing::TrustedRootCertificate mixedCase(Testing::InstallerFixture(L"certs\\mixed_case.pem"));
    Testing::TrustedRootCertificate other(Testing::InstallerFixture(L"certs\\other.pem"));
    ASSERT_TRUE(company.Added() && mixedCase.Added() && other.Added());
    const std::wstring signedValidator = Testing::InstallerFixture(L"download_validator_signed.exe");
    const std::wstring unsignedValidator = Testing::TestBinaryFolder() + L"\\download_validator.exe";
    struct Case {
        const std::wstring& validator;
        const wchar_t* installer;
        bool passes;
    };
    const Case cases[] = {
        {signedValidator, L"test_installer_mixed_case.exe", true},
        {signedValidator, L"test_installer_other.exe", false},
        {signedValidator, L"test_installer_tampered.exe", false},
        {unsignedValidator, L"test_installer.exe", true},
    };
    Testing::ScratchFolder scratch;
    for (const Case& c : cases) {
        SCOPED_TRACE(ToNarrow(c.installer));
        const std::wstring copy = scratch.File(c.installer);
        ASSERT_TRUE(CopyFileW(Testing::InstallerFixture(c.installer).c_str(), copy.c_str(), FALSE));
        const auto result = Testing::RunToEnd(L"\"" + c.validator + L"\" - \"" + copy + L"\"");
        const std::string verdict = c.passes ? "passed\n"
                                             : "failed: Binary failed certificate validation. Certificate missing or "
                                               "not issued from Veltrastone.\n";
        EXPECT_NE(result.output.find(verdict), std::string::npos) << result.output;
        EXPECT_EQ(FileExists(copy), c.passes);
    }
}
