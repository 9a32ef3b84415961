#include "base/registry_key.h"

#include "base/exception.h"
#include "base/log.h"

namespace Base {
namespace {

constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);
constexpr ULONG kKeyNameInformation = 3;

bool IsNotFound(LONG result) { return result == ERROR_FILE_NOT_FOUND || result == ERROR_NOT_FOUND; }

// Predefined roots are small negative numbers in their low 32 bits.
bool IsPredefined(HKEY handle) {
    return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle))) < 0;
}

using NtQueryKeyFunction = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

// ntdll's NtQueryKey, looked up once per process; a failed lookup is
// remembered and not retried.
class NtQueryKeyResolver {
public:
    static NtQueryKeyResolver& Instance() {
        static NtQueryKeyResolver resolver;  // initialised once, thread-safe
        return resolver;
    }

    NtQueryKeyFunction Get() const {
        if (error != 0 || function == nullptr) {
            LogError(L"Failed to open NtQueryKey with error [%lu]", error);
            throw ExceptionWin32("Failed to load method", error);
        }
        return function;
    }

private:
    NtQueryKeyResolver() {
        const wchar_t* moduleName = L"ntdll.dll";
        HMODULE module = LoadLibraryW(moduleName);
        if (module == nullptr) {
            error = GetLastError();
            LogVerbose(L"Failed to load module [%s] with error [%lu]", moduleName, error);
            return;
        }
        function = reinterpret_cast<NtQueryKeyFunction>(
            reinterpret_cast<void*>(GetProcAddress(module, "NtQueryKey")));
        if (function == nullptr) {
            error = GetLastError();
            LogVerbose(L"Module [%s] loaded, but could not locate method [%S] with error [%lu]", moduleName,
                       "NtQueryKey", error);
            FreeLibrary(module);
            return;
        }
        LogVerbose(L"Module [%s] method [%S] loaded successfully", moduleName, "NtQueryKey");
    }

    NtQueryKeyFunction function = nullptr;
    DWORD error = 0;
};

}  // namespace

RegistryKey::~RegistryKey() {
    if (handle != nullptr && !IsPredefined(handle)) RegCloseKey(handle);
}

Ref<RegistryKey> RegistryKey::CreateSubKey(const std::wstring& subKey, DWORD options, REGSAM desired) {
    HKEY created = nullptr;
    DWORD disposition = 0;
    const LONG result = RegCreateKeyExW(handle, subKey.c_str(), 0, nullptr, options, desired, nullptr, &created,
                                        &disposition);
    if (result != ERROR_SUCCESS) {
        LogError(L"Registry Key [%p] failed to create subkey [%s] options [%lu] desired [%lu] error [%lu]", handle,
                 subKey.c_str(), options, desired, result);
        throw ExceptionWin32("Failed to create registry key", result);
    }
    LogDebug(L"Registry Key [%p] successfully created key [%p] subkey [%s] options [%lu] desired [%lu] "
             L"disposition [%lu]",
             handle, created, subKey.c_str(), options, desired, disposition);
    return MakeRef<RegistryKey>(created);
}

Ref<RegistryKey> RegistryKey::OpenSubKey(const std::wstring& subKey, REGSAM desired) {
    HKEY opened = nullptr;
    const LONG result = RegOpenKeyExW(handle, subKey.c_str(), 0, desired, &opened);
    if (result != ERROR_SUCCESS) {
        LogError(L"Registry Key [%p] failed to open subkey [%s] desired [%lu] error [%lu]", handle, subKey.c_str(),
                 desired, result);
        throw ExceptionWin32("Failed to open registry key", result);
    }
    LogDebug(L"Registry Key [%p] successfully opened key [%p] subkey [%s] desired [%lu]", handle, opened,
             subKey.c_str(), desired);
    return MakeRef<RegistryKey>(opened);
}

bool RegistryKey::SubKeyExists(const std::wstring& subKey, REGSAM desired) {
    HKEY opened = nullptr;
    const LONG result = RegOpenKeyExW(handle, subKey.c_str(), 0, desired, &opened);
    if (result == ERROR_SUCCESS) {
        LogDebug(L"Registry Key [%p] found subkey [%s] desired [%lu]", handle, subKey.c_str(), desired);
        RegCloseKey(opened);
        return true;
    }
    if (IsNotFound(result)) {
        LogDebug(L"Registry Key [%p] did not find subkey [%s] desired [%lu]", handle, subKey.c_str(), desired);
        return false;
    }
    LogError(L"Registry Key [%p] failed to detect subkey [%s] desired [%lu] error [%lu]", handle, subKey.c_str(),
             desired, result);
    throw ExceptionWin32("Failed to detect registry key", result);
}

void RegistryKey::DeleteTree(const std::wstring& subKey) {
    const LONG result = RegDeleteTreeW(handle, subKey.c_str());
    if (result == ERROR_SUCCESS || IsNotFound(result)) return;
    LogError(L"Registry Key [%p] failed to delete recursive subkey [%s] error [%lu]", handle, subKey.c_str(), result);
    throw ExceptionWin32("Failed to delete registry key", result);
}

void RegistryKey::WatchForChanges(bool watchSubtree, DWORD filter, HANDLE event) {
    const LONG result = RegNotifyChangeKeyValue(handle, watchSubtree ? TRUE : FALSE, filter, event, TRUE);
    if (result != ERROR_SUCCESS) {
        LogError(L"Registry Key [%p] failed to watch for changes subtree [%u] filter [%lu] event [%p] error [%lu]",
                 handle, watchSubtree ? 1u : 0u, filter, event, result);
        throw ExceptionWin32("Failed to watch registry key", result);
    }
    LogVerbose(L"Registry Key [%p] is watching for changes subtree [%u] filter [%lu] event [%p]", handle,
               watchSubtree ? 1u : 0u, filter, event);
}

std::wstring RegistryKey::GetPath() {
    if (handle == HKEY_LOCAL_MACHINE) return L"\\REGISTRY\\MACHINE";
    if (handle == HKEY_CURRENT_USER) return L"\\REGISTRY\\USER\\CURRENT";
    if (handle == HKEY_USERS) return L"\\REGISTRY\\USER";

    const NtQueryKeyFunction queryKey = NtQueryKeyResolver::Instance().Get();
    ULONG resultLength = 0;
    LONG status = queryKey(handle, kKeyNameInformation, nullptr, 0, &resultLength);
    if (status != kStatusBufferTooSmall) {
        LogError(L"Registry Key [%p] failed to query key error [%lu]", handle, status);
        throw ExceptionWin32("Failed to get path", static_cast<uint32_t>(status));
    }
    // The record is a 32-bit name length followed by the name; round up so an
    // odd length never leaves the last byte outside the buffer.
    std::wstring path((resultLength + 1) / 2, L'\0');
    status = queryKey(handle, kKeyNameInformation, &path[0], static_cast<ULONG>(path.size() * 2), &resultLength);
    if (status != 0) {
        LogError(L"Registry Key [%p] failed to query key size [%lu] error [%lu]", handle, resultLength, status);
        throw ExceptionWin32("Failed to get path", static_cast<uint32_t>(status));
    }
    path.resize(std::min<size_t>(resultLength / 2, path.size()));
    path.erase(0, std::min<size_t>(2, path.size()));
    LogDebug(L"Registry Key [%p] returned path [%s]", handle, path.c_str());
    return path;
}

void RegistryKey::SetDword(const std::wstring& name, DWORD value) {
    const LONG result = RegSetValueExW(handle, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                       sizeof(value));
    if (result != ERROR_SUCCESS) {
        LogError(L"Registry Key [%p] failed to set dword name [%s] value [%lu] error [%lu]", handle, name.c_str(),
                 value, result);
        throw ExceptionWin32("Failed to set registry value", result);
    }
    LogDebug(L"Registry key [%p] set dword name [%s] value [%lu]", handle, name.c_str(), value);
}

void RegistryKey::SetString(const std::wstring& name, const std::wstring& value) {
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    const LONG result =
        RegSetValueExW(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
    if (result != ERROR_SUCCESS) {
        LogError(L"Registry Key [%p] failed to set string name [%s] value [%s] error [%lu]", handle, name.c_str(),
                 value.c_str(), result);
        throw ExceptionWin32("Failed to set registry value", result);
    }
    LogDebug(L"Registry key [%p] set string name [%s] value [%s]", handle, name.c_str(), value.c_str());
}

bool RegistryKey::QueryString(const std::wstring& name, std::wstring& out) {
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegQueryValueExW(handle, name.c_str(), nullptr, &type, nullptr, &size);
    if (IsNotFound(result)) {
        LogDebug(L"Registry key [%p] did not find STRING name [%s]", handle, name.c_str());
        return false;
    }
    if (result != ERROR_SUCCESS) {
        LogError(L"Registry Key [%p] failed to query STRING name [%s] error [%lu]", handle, name.c_str(), result);
        throw ExceptionWin32("Unable to query STRING registry value", result);
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        LogError(L"Registry Key [%p] failed to query STRING name [%s] type [%lu] size [%lu]", handle, name.c_str(),
                 type, size);
        throw Exception("Unable to convert STRING registry value");
    }
    // Odd sizes are rounded up so the read never overruns the string.
    std::wstring value((size + 1) / 2, L'\0');
    DWORD bytes = static_cast<DWORD>(value.size() * 2);
    result = RegQueryValueExW(handle, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &bytes);
    if (result != ERROR_SUCCESS) {
        LogError(L"Registry Key [%p] failed to query STRING name [%s] size [%lu] error [%lu]", handle, name.c_str(),
                 size, result);
        throw ExceptionWin32("Unable to query STRING registry value", result);
    }
    value.resize(std::min<size_t>((bytes + 1) / 2, value.size()));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    out = value;
    LogDebug(L"Registry Key [%p] successfully queried STRING name [%s] value [%s]", handle, name.c_str(),
             out.c_str());
    return true;
}

bool RegistryKey::QueryDword(const std::wstring& name, DWORD& out) {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LONG result =
        RegQueryValueExW(handle, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (IsNotFound(result)) {
        LogDebug(L"Registry key [%p] did not find DWORD name [%s]", handle, name.c_str());
        return false;
    }
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) {
        LogError(L"Registry Key [%p] failed to query DWORD name [%s] error [%lu]", handle, name.c_str(), result);
        throw ExceptionWin32("Unable to query DWORD registry value", result);
    }
    if (result == ERROR_MORE_DATA || type != REG_DWORD || size != sizeof(value)) {
        LogError(L"Registry Key [%p] failed to query DWORD name [%s] type [%lu] size [%lu]", handle, name.c_str(),
                 type, size);
        throw Exception("Unable to convert DWORD registry value");
    }
    out = value;
    LogDebug(L"Registry Key [%p] successfully queried DWORD name [%s] value [%lu]", handle, name.c_str(), out);
    return true;
}

std::vector<std::wstring> RegistryKey::SubKeyNames() {
    std::vector<std::wstring> names;
    // Key names are at most 255 characters.
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        const LONG result = RegEnumKeyExW(handle, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) {
            LogError(L"Registry Key [%p] failed to enumerate subkey [%lu] error [%lu]", handle, index, result);
            throw ExceptionWin32("Failed to enumerate registry keys", result);
        }
        names.emplace_back(name, length);
    }
    LogDebug(L"Registry Key [%p] has [%lu] subkeys", handle, static_cast<unsigned long>(names.size()));
    return names;
}

}  // namespace Base
