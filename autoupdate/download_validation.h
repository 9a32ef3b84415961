#pragma once
// Checks on a downloaded installer, and the hash helpers other steps use.

#include <cstddef>
#include <string>

// Throws AutoUpdateException when the file fails a check (the file is deleted).
void ValidateDownload(const std::wstring& expectedHash, const std::wstring& filePath);

// Upper-case hex SHA-256 of the text's console code page form: 64 characters.
std::wstring Sha256OfText(const std::wstring& text);

// Standard Base64 with "=" padding, a line feed after every 72 characters and
// after the last line. Throws Base::Exception when the library fails.
std::string Base64Encode(const void* data, size_t length);
