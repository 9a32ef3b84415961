#pragma once
// Program Files\Veltrastone\Setup: where the setup program unpacks its
// package for msiexec and keeps a copy of itself for its uninstall command.
// The setup runs as an administrator or as SYSTEM, and whatever it runs from
// here runs with those rights: only administrators may write below Program
// Files, so the folder keeps the rights it inherits from there.

#include <windows.h>

#include <string>

class SetupFolder {
public:
    // Finds the folder; Path() is empty when Program Files is unknown.
    SetupFolder();

    const std::wstring& Path() const { return path; }
    // Creates the folder and its parent; 0 or the system error.
    DWORD Create() const;
    std::wstring KeptCopy() const { return path + L"\\kxclient-setup.exe"; }
    std::wstring Package(const std::wstring& version) const {
        return path + L"\\kxclient-x64-" + version + L".msi";
    }
    // Copies the running program to KeptCopy(), unless it runs from there.
    DWORD KeepCopyOfSelf() const;
    // Deletes the kept copy and the folders once empty. A running program's
    // file cannot be deleted but can be renamed: the copy that runs this moves
    // aside and is deleted at the next restart, with the folders.
    void RemoveKeptCopy() const;

private:
    std::wstring parent;
    std::wstring path;
};
