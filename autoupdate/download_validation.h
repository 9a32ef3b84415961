#pragma once
// Checks on a downloaded installer, and the hash helpers other steps use.

#include <string>

// Throws AutoUpdateException when the file fails a check (the file is deleted).
void ValidateDownload(const std::wstring& expectedHash, const std::wstring& filePath);

// Upper-case hex SHA-256 of the text's console code page form: 64 characters.
std::wstring Sha256OfText(const std::wstring& text);
