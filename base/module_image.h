#pragma once
// The PE headers of a module loaded in this process, read defensively: a
// module's memory may be unreadable or its headers damaged, and a crash report
// must never fault on it. Every range is checked with VirtualQuery (committed,
// readable, no guard page) and copied through ReadProcessMemory on the own
// process, which fails instead of faulting.
//
// Vocabulary: the headers are "valid" when the DOS header carries "MZ", the NT
// headers at its e_lfanew offset carry "PE\0\0" and a PE32 or PE32+ optional
// header, and the section table behind them is readable. The "debug record" is
// the module's debug directory entries, copied one after another, followed by
// each entry's data in the same order; in each copy AddressOfRawData is 0 and
// PointerToRawData is the offset of the entry's data from the start of that
// entry.

#include <windows.h>

#include <cstdint>
#include <vector>

namespace Base {

class ModuleImage {
public:
    // Machine field reported for a module whose headers are not valid.
    static constexpr WORD kUnknownMachine = ERROR_INVALID_ADDRESS;

    explicit ModuleImage(const void* base);

    bool HeadersValid() const { return valid; }
    // The file header's machine type, or kUnknownMachine.
    WORD Machine() const { return valid ? machine : kUnknownMachine; }

    // ERROR_SUCCESS with the record (empty when the module has no debug
    // directory), or ERROR_INVALID_ADDRESS when the headers are not valid or a
    // range of the directory or its data is not readable inside the image.
    DWORD ReadDebugRecord(std::vector<uint8_t>& record) const;

private:
    const uint8_t* base;
    bool valid = false;
    WORD machine = 0;
    DWORD imageSize = 0;
    IMAGE_DATA_DIRECTORY debugDirectory = {};
};

}  // namespace Base
