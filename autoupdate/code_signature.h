#pragma once
// Authenticode checks of an executable file.
//
// Vocabulary: a file is trusted when WinVerifyTrust accepts its embedded
// signature; its signer is the certificate that signed it, found in the
// signature's own certificate store by issuer and serial number; the signer's
// subject name is that certificate's simple display name (usually its common
// name); a company tag is a company name occurring anywhere in the subject
// name, in any letter case.

#include <string>

bool VerifyFileTrust(const std::wstring& filePath);

// Fills subjectName only on success.
bool GetSignerSubjectName(const std::wstring& filePath, std::wstring& subjectName);

bool HasCompanyTag(const std::wstring& filePath, const std::wstring& company);
