#pragma once
// Authenticode checks of an executable file.
//
// Vocabulary: a file is trusted when WinVerifyTrust accepts its embedded
// signature under the Authenticode policy (which also requires a code-signing
// certificate); its signer is the certificate that made the signature the
// policy verified; the signer's subject name is that certificate's simple
// display name (usually its common name); a company tag is a company name
// occurring anywhere in the subject name, in any letter case.

#include <windows.h>
#include <wintrust.h>

#include <string>

// One verification of a file, read through an open handle when one is given,
// whose state is kept until destruction so that the signer is taken from the
// very signature that was verified.
class FileTrust {
public:
    explicit FileTrust(const std::wstring& filePath, HANDLE file = nullptr);
    ~FileTrust();
    FileTrust(const FileTrust&) = delete;
    FileTrust& operator=(const FileTrust&) = delete;

    bool IsTrusted() const { return result == 0; }
    // Fills subjectName only on success; only a trusted file has a signer.
    bool GetSignerSubjectName(std::wstring& subjectName) const;
    bool HasCompanyTag(const std::wstring& company) const;

private:
    std::wstring path;
    WINTRUST_FILE_INFO fileInfo{};
    WINTRUST_DATA data{};
    LONG result = 0;
};

bool VerifyFileTrust(const std::wstring& filePath);
