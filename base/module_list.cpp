#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/base64.h"
#include "base/crash_report.h"
#include "base/exception.h"
#include "base/log.h"
#include "base/module_image.h"
#include "base/trace_provider.h"

namespace {

constexpr DWORD kMaxModules = 1024;
constexpr DWORD kPathCapacity = 1040;

// "%u.%u.%u.%u" of the file version; empty without a version resource.
std::string VersionText(const char* path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) return {};
    std::vector<uint8_t> block(size, 0);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoA(path, 0, size, block.data()) ||
        !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    // Room for the longest text, "65535.65535.65535.65535", and its NUL.
    char text[24];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
             HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return text;
}

// The debug record as Base64 text; empty when there is none or it cannot be read.
std::string DebugRecordText(const Base::ModuleImage& image) {
    std::vector<uint8_t> record;
    if (image.ReadDebugRecord(record) != ERROR_SUCCESS || record.empty()) return {};
    try {
        return Base64Encode(record.data(), record.size());
    } catch (const Base::Exception&) {
        return {};
    }
}

void WriteModuleEvent(const char* path, const std::string& record, const MODULEINFO& info,
                      const std::string& version, WORD machineField) {
    const uint64_t baseAddress = reinterpret_cast<uintptr_t>(info.lpBaseOfDll);
    const uint32_t imageSize = info.SizeOfImage;
    const uint16_t machine = machineField;
    EVENT_DATA_DESCRIPTOR fields[7];
    Base::Trace::SetStringField(fields[0], path);
    Base::Trace::SetStringField(fields[1], record.c_str());
    EventDataDescCreate(&fields[2], &baseAddress, sizeof(baseAddress));
    EventDataDescCreate(&fields[3], &imageSize, sizeof(imageSize));
    Base::Trace::SetStringField(fields[4], ProcessImageName());
    Base::Trace::SetStringField(fields[5], version.c_str());
    EventDataDescCreate(&fields[6], &machine, sizeof(machine));
    Base::Trace::WriteEvent(Base::Trace::kEventModuleList, 7, fields);
}

}  // namespace

void WriteModuleList() {
    const HANDLE process = GetCurrentProcess();
    std::vector<HMODULE> modules(kMaxModules);
    DWORD needed = 0;
    if (!EnumProcessModules(process, modules.data(), kMaxModules * sizeof(HMODULE), &needed)) return;
    modules.resize(std::min<DWORD>(needed / sizeof(HMODULE), kMaxModules));

    for (HMODULE module : modules) {
        if (!Base::Trace::IsBitEnabled(Base::Trace::kBitModuleList)) continue;
        char path[kPathCapacity];
        MODULEINFO info = {};
        if (GetModuleFileNameExA(process, module, path, kPathCapacity) == 0 ||
            !GetModuleInformation(process, module, &info, sizeof(info))) {
            continue;
        }
        try {
            const Base::ModuleImage image(info.lpBaseOfDll);
            WriteModuleEvent(path, DebugRecordText(image), info, VersionText(path), image.Machine());
        } catch (const std::exception&) {
            // Out of memory for one module's record or version: the next may fit.
        }
    }
}
