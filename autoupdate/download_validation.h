#pragma once
// Checks on a downloaded installer, and the hash helpers other steps use.
//
// Validation has two stages: the file's SHA-256 must equal the expected hash
// of the update request (when one was given), and, when this program's own
// executable is trusted, the installer must be trusted too and signed by a
// certificate whose subject names the company. Both stages read the file
// through one handle that stays open, refusing writers, until the installer
// has been started. A file that fails is deleted.

#include <string>

#include "autoupdate/installer_file.h"

// The company word a signer's subject name must contain.
extern const wchar_t kSignerCompany[];

// The validated installer, still open; throws AutoUpdateException when the
// file fails a check (the file is deleted) or cannot be opened or read.
InstallerFile ValidateDownload(const std::wstring& expectedHash, const std::wstring& filePath);

// True when the file's digest equals expectedHash in any letter case;
// computedHash receives the upper-case hex digest. A file that cannot be
// opened or read throws AutoUpdateException.
bool Sha256OfFile(const InstallerFile& file, const std::wstring& expectedHash, std::wstring& computedHash);
bool Sha256OfFile(const std::wstring& filePath, const std::wstring& expectedHash, std::wstring& computedHash);

// Upper-case hex SHA-256 of the text's console code page form: 64 characters.
std::wstring Sha256OfText(const std::wstring& text);
