#include "base/module_image.h"

#include <cstring>

namespace Base {
namespace {

// Offsets inside the optional header that differ between PE32 and PE32+.
struct OptionalHeaderLayout {
    WORD magic;
    size_t numberOfRvaAndSizes;
    size_t dataDirectories;
};
constexpr OptionalHeaderLayout kPe32{IMAGE_NT_OPTIONAL_HDR32_MAGIC, 92, 96};
constexpr OptionalHeaderLayout kPe32Plus{IMAGE_NT_OPTIONAL_HDR64_MAGIC, 108, 112};
constexpr size_t kSizeOfImageOffset = 56;
constexpr size_t kOptionalHeaderOffset = sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);

bool IsReadable(const void* address, size_t size) {
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const auto* at = static_cast<const uint8_t*>(address);
    const uintptr_t end = reinterpret_cast<uintptr_t>(at) + size;
    if (end < reinterpret_cast<uintptr_t>(at)) return false;
    while (reinterpret_cast<uintptr_t>(at) < end) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(at, &region, sizeof(region)) == 0 || region.State != MEM_COMMIT ||
            (region.Protect & kReadable) == 0 || (region.Protect & PAGE_GUARD) != 0) {
            return false;
        }
        at = static_cast<const uint8_t*>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

// The protection check is what Windows' ReadProcessMemory does itself; Wine's
// reads the own process through the kernel and ignores it. The copy then
// fails instead of faulting if the range goes away after the check.
bool ReadOwnMemory(const void* address, void* buffer, size_t size) {
    if (size == 0) return true;
    SIZE_T read = 0;
    return IsReadable(address, size) &&
           ReadProcessMemory(GetCurrentProcess(), address, buffer, size, &read) && read == size;
}

template <typename T>
bool ReadValue(const uint8_t* address, T& value) {
    return ReadOwnMemory(address, &value, sizeof(T));
}

}  // namespace

ModuleImage::ModuleImage(const void* address) : base(static_cast<const uint8_t*>(address)) {
    IMAGE_DOS_HEADER dos;
    if (!ReadValue(base, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return;
    const uint8_t* nt = base + static_cast<DWORD>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER file;
    WORD magic = 0;
    if (!ReadValue(nt, signature) || signature != IMAGE_NT_SIGNATURE || !ReadValue(nt + sizeof(DWORD), file) ||
        !ReadValue(nt + kOptionalHeaderOffset, magic)) {
        return;
    }
    const OptionalHeaderLayout* layout = magic == kPe32.magic ? &kPe32 : magic == kPe32Plus.magic ? &kPe32Plus : nullptr;
    if (layout == nullptr) return;
    const uint8_t* optional = nt + kOptionalHeaderOffset;
    std::vector<uint8_t> sections(size_t{file.NumberOfSections} * sizeof(IMAGE_SECTION_HEADER));
    if (!ReadOwnMemory(optional + file.SizeOfOptionalHeader, sections.data(), sections.size())) return;
    valid = true;
    machine = file.Machine;

    // A short optional header simply has no debug directory; the entry must
    // be both present in the header and counted by NumberOfRvaAndSizes.
    const size_t debugEntry = layout->dataDirectories + IMAGE_DIRECTORY_ENTRY_DEBUG * sizeof(IMAGE_DATA_DIRECTORY);
    DWORD directoryCount = 0;
    if (file.SizeOfOptionalHeader >= debugEntry + sizeof(IMAGE_DATA_DIRECTORY) &&
        ReadValue(optional + kSizeOfImageOffset, imageSize) &&
        ReadValue(optional + layout->numberOfRvaAndSizes, directoryCount) &&
        directoryCount > IMAGE_DIRECTORY_ENTRY_DEBUG) {
        ReadValue(optional + debugEntry, debugDirectory);
    }
}

DWORD ModuleImage::ReadDebugRecord(std::vector<uint8_t>& record) const {
    record.clear();
    if (!valid) return ERROR_INVALID_ADDRESS;
    if (debugDirectory.VirtualAddress == 0 || debugDirectory.Size == 0) return ERROR_SUCCESS;

    // Every range must lie inside the image: a damaged directory may name any
    // address and any size, and the record is never larger than the image.
    const auto insideImage = [this](DWORD rva, DWORD size) { return rva <= imageSize && size <= imageSize - rva; };
    constexpr size_t kEntrySize = sizeof(IMAGE_DEBUG_DIRECTORY);
    if (debugDirectory.Size < kEntrySize || !insideImage(debugDirectory.VirtualAddress, debugDirectory.Size)) {
        return ERROR_INVALID_ADDRESS;
    }
    std::vector<IMAGE_DEBUG_DIRECTORY> entries(debugDirectory.Size / kEntrySize);
    if (!ReadOwnMemory(base + debugDirectory.VirtualAddress, entries.data(), entries.size() * kEntrySize)) {
        return ERROR_INVALID_ADDRESS;
    }
    size_t total = entries.size() * kEntrySize;
    for (const IMAGE_DEBUG_DIRECTORY& entry : entries) {
        if (!insideImage(entry.AddressOfRawData, entry.SizeOfData)) return ERROR_INVALID_ADDRESS;
        total += entry.SizeOfData;
    }
    if (total > imageSize) return ERROR_INVALID_ADDRESS;

    record.resize(total);
    size_t dataOffset = entries.size() * kEntrySize;
    for (size_t i = 0; i < entries.size(); ++i) {
        IMAGE_DEBUG_DIRECTORY copy = entries[i];
        copy.AddressOfRawData = 0;
        copy.PointerToRawData = static_cast<DWORD>(dataOffset - i * kEntrySize);
        memcpy(record.data() + i * kEntrySize, &copy, kEntrySize);
        if (!ReadOwnMemory(base + entries[i].AddressOfRawData, record.data() + dataOffset, entries[i].SizeOfData)) {
            record.clear();
            return ERROR_INVALID_ADDRESS;
        }
        dataOffset += entries[i].SizeOfData;
    }
    return ERROR_SUCCESS;
}

}  // namespace Base
