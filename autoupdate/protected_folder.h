#pragma once
// Folders whose programs run with the service's rights: the download cache and
// the folders above it. Any user may create a folder under ProgramData and then
// owns it, and an owner can always rewrite its access list. So each such
// folder, whether this program created it or found it, is owned by
// Administrators and carries a protected DACL: it inherits nothing from its
// parent, SYSTEM and Administrators have full control, Users may only read and
// execute. A folder found with an owner other than Administrators, SYSTEM or
// this program's own account, or with a DACL that lets anyone else change it,
// is taken over (logged at WARNING): what it holds may have been planted.
//
// A folder is secured through a handle opened without following reparse
// points, so the object checked is the object changed. A folder that is a
// reparse point (a junction or a symbolic link) leads somewhere else and is
// not used.

#include <string>

enum class FolderSecuring { Secured, TakenOver, Failed };

// Creates the folder if it is missing, then secures it. Failures are logged.
FolderSecuring SecureFolder(const std::wstring& path);

// Deletes everything inside the folder; links inside are removed, never
// followed. What cannot be deleted (a running program) stays, logged.
void EmptyFolder(const std::wstring& path);

bool IsReparsePoint(const std::wstring& path);
