#pragma once
// The installer of an update, held open from the start of its validation until
// it has been started: opened for reading and shared for reading only (no
// writing, no deleting, no renaming), so that the bytes that were checked are
// the bytes that run. Checks read the file through this handle.

#include <windows.h>

#include <string>

#include "base/unique_any.h"

class InstallerFile {
public:
    // Throws the cryptographic library's open error when the file cannot be
    // opened, as hashing it by name would.
    explicit InstallerFile(std::wstring path);

    const std::wstring& Path() const { return path; }
    HANDLE Handle() const { return file.Get(); }

    // Upper-case hexadecimal SHA-256 of the whole file as the handle reads it;
    // throws the library's read error when reading fails.
    std::string Sha256Hex() const;

    // Closes the handle: from then on others may change the file again.
    void Release() { file.Reset(); }
    // Releases the file and deletes it.
    void Discard();

private:
    std::wstring path;
    Base::UniqueFileHandle file;
};
