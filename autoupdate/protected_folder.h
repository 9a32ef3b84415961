#pragma once
// Folders whose programs run with the service's rights (the download cache
// and the folders above it that the service creates). Ordinary users may
// create files under ProgramData, so such a folder carries a protected DACL:
// it inherits nothing from its parent, SYSTEM and Administrators have full
// control, Users may only read and execute. A folder that is a reparse point
// (a junction or a symbolic link) leads somewhere else and is not used.

#include <string>

enum class FolderCreation { Created, Existed, Failed };

// Creates the folder with the protected DACL; an existing folder is left as
// it is. A failure is logged.
FolderCreation CreateProtectedFolder(const std::wstring& path);

// Puts the protected DACL on an existing folder, replacing what it had.
bool ProtectFolder(const std::wstring& path);

bool IsReparsePoint(const std::wstring& path);
