#include "registration/client_module.h"

#include <windows.h>

#include <cwchar>

#include "base/exception.h"
#include "base/file_info.h"
#include "base/log.h"
#include "base/registry_key.h"

namespace {

constexpr REGSAM kRead32 = KEY_READ | KEY_WOW64_32KEY;  // 0x20219
constexpr REGSAM kRead64 = KEY_READ;                    // 0x20019: the 64-bit view for this process
constexpr int64_t kUnixEpochInFileTime = 116444736000000000LL;

// The trace texts of one bitness.
struct ModuleTexts {
    const wchar_t* keyMissing;
    const wchar_t* valueMissing;
    const wchar_t* found;
    const wchar_t* fileGone;
    const wchar_t* failed;
};

const ModuleTexts kTexts32 = {
    L"Failed to find Veltrastone 32-bit client path within the registry",
    L"Failed to read Veltrastone 32-bit client path",
    L"Found Veltrastone 32-bit client path [%s]",
    L"Found Veltrastone 32-bit client path [%s] but file was not found",
    L"Failed to open Veltrastone 32-bit client error [%S]",
};

const ModuleTexts kTexts64 = {
    L"Failed to find Veltrastone 64-bit client path within the registry",
    L"Failed to read Veltrastone 64-bit client path",
    L"Found Veltrastone 64-bit client path [%s]",
    L"Found Veltrastone 64-bit client path [%s] but file was not found",
    L"Failed to open Veltrastone 64-bit client error [%S]",
};

}  // namespace

std::wstring FormatUtcSeconds(int64_t ticksSince1970) {
    const uint64_t fileTime = static_cast<uint64_t>(ticksSince1970 + kUnixEpochInFileTime);
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(fileTime);
    ft.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME st = {};
    if (!FileTimeToSystemTime(&ft, &st)) return L"(unknown time)";
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond);
    return text;
}

std::wstring FindClientModule(uint32_t bitness, bool mustExist) {
    LogEnter(nullptr);
    const ModuleTexts& texts = bitness == 32 ? kTexts32 : kTexts64;
    const REGSAM access = bitness == 32 ? kRead32 : kRead64;
    std::wstring result;
    try {
        const auto machine = RegistryKey::Root(HKEY_LOCAL_MACHINE);
        if (!machine->SubKeyExists(ClientModule::kRegistrationKey, access)) {
            LogVerbose(texts.keyMissing);
        } else {
            std::wstring path;
            if (!machine->OpenSubKey(ClientModule::kRegistrationKey, access)->QueryString(L"", path)) {
                LogWarning(texts.valueMissing);
            } else if (!mustExist || FileExists(path)) {
                LogVerbose(texts.found, path.c_str());
                result = path;
            } else {
                LogVerbose(texts.fileGone, path.c_str());
            }
        }
    } catch (const Base::Exception& e) {
        LogError(texts.failed, e.what());
        result.clear();
    }
    LogExit(nullptr);
    return result;
}

bool ShouldReplace(const std::wstring& source, const std::wstring& destination) {
    LogEnter(nullptr);
    bool replace = false;
    try {
        if (!FileExists(source)) {
            LogVerbose(L"Destination file [%s] should not replace source [%s] since source does not exist",
                       destination.c_str(), source.c_str());
        } else if (!FileExists(destination)) {  // missing, or a folder
            LogVerbose(L"Destination file [%s] should replace source [%s] since destination does not exist",
                       destination.c_str(), source.c_str());
            replace = true;
        } else {
            const FileInfo from = GetFileInfo(source);
            const FileInfo to = GetFileInfo(destination);
            if (from.size != to.size) {
                LogVerbose(L"Destination file [%s] size [%llu] should replace source [%s] size [%llu] since file "
                           L"sizes differ",
                           destination.c_str(), static_cast<unsigned long long>(to.size), source.c_str(),
                           static_cast<unsigned long long>(from.size));
                replace = true;
            } else if (to.lastWriteTime < from.lastWriteTime) {
                LogVerbose(L"Destination file [%s] timestamp [%s] should replace source [%s] timestamp [%s] since "
                           L"source is newer",
                           destination.c_str(), FormatUtcSeconds(to.lastWriteTime).c_str(), source.c_str(),
                           FormatUtcSeconds(from.lastWriteTime).c_str());
                replace = true;
            } else {
                LogVerbose(L"Destination file [%s] timestamp [%s] size [%llu] should NOT replace source [%s] "
                           L"timestamp [%s] size [%llu]",
                           destination.c_str(), FormatUtcSeconds(to.lastWriteTime).c_str(),
                           static_cast<unsigned long long>(to.size), source.c_str(),
                           FormatUtcSeconds(from.lastWriteTime).c_str(), static_cast<unsigned long long>(from.size));
            }
        }
    } catch (const Base::Exception& e) {
        LogVerbose(L"Destination file [%s] should NOT replace source [%s] due to error [%S]", destination.c_str(),
                   source.c_str(), e.what());
        replace = false;
    }
    LogExit(nullptr);
    return replace;
}

void CopyModuleFile(const std::wstring& source, const std::wstring& destination) {
    if (!CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
        const DWORD error = GetLastError();
        LogError(L"Failed to copy file from source [%s] destination [%s] error [%lu]", source.c_str(),
                 destination.c_str(), error);
        throw Base::ExceptionWin32(error);
    }
    LogInfo(L"Successfully copied [%s] to [%s]", source.c_str(), destination.c_str());
}

void UpdateCleanupList(const std::wstring& destination) {
    LogEnter(nullptr);
    try {
        const auto cleanup =
            RegistryKey::Root(HKEY_LOCAL_MACHINE)->CreateSubKey(ClientModule::kCleanupKey, 0, KEY_ALL_ACCESS);
        std::wstring current;
        if (!cleanup->QueryString(ClientModule::kCleanupValue, current) || current.empty()) {
            LogVerbose(L"Setting Amazon WorkSpaces cleanup file [%s]", destination.c_str());
            cleanup->SetString(ClientModule::kCleanupValue, destination);
        } else if (current.find(destination) != std::wstring::npos) {
            LogVerbose(L"Not updating Amazon WorkSpaces cleanup file [%s] since exists in [%s]", destination.c_str(),
                       current.c_str());
        } else {
            const std::wstring updated = current + L";" + destination;
            cleanup->SetString(ClientModule::kCleanupValue, updated);
            LogVerbose(L"Updating Amazon WorkSpaces cleanup file [%s] previous [%s] updated [%s]",
                       destination.c_str(), current.c_str(), updated.c_str());
        }
    } catch (const Base::Exception& e) {
        LogError(L"Unexpected error setting Amazon WorkSpaces cleanup error [%S]", e.what());
    }
    LogExit(nullptr);
}
