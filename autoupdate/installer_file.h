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
    // A download that cannot be opened (gone, or held by another program)
    // fails its url: AutoUpdateException with the system's error.
    explicit InstallerFile(std::wstring path);

    const std::wstring& Path() const { return path; }
    HANDLE Handle() const { return file.Get(); }

    // Upper-case hexadecimal SHA-256 of the whole file as the handle reads it;
    // AutoUpdateException when reading fails.
    std::string Sha256Hex() const;

    // Closes the handle: from then on others may change the file again.
    void Release() { file.Reset(); }
    // Releases the file and deletes it.
    void Discard();

private:
    std::wstring path;
    Base::UniqueFileHandle file;
};
