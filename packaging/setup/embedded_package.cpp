#include "embedded_package.h"

#include "base/unique_any.h"
#include "setup_resources.h"

DWORD WriteEmbeddedPackage(const std::wstring& path) {
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(KX_PACKAGE_RESOURCE), RT_RCDATA);
    const HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return ERROR_RESOURCE_DATA_NOT_FOUND;
    const DWORD size = SizeofResource(nullptr, resource);
    const Base::UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();
    DWORD written = 0;
    if (!WriteFile(file.Get(), bytes, size, &written, nullptr)) return GetLastError();
    return written == size ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}
