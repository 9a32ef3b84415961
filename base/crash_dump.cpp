#include <windows.h>
#include <dbghelp.h>

#include <exception>
#include <string>

#include "base/base64.h"
#include "base/crash_report.h"
#include "base/file_info.h"
#include "base/log.h"
#include "base/trace_provider.h"
#include "base/unique_any.h"

namespace {

struct UnmapView {
    static void Close(const void* view) { UnmapViewOfFile(view); }
};
using UniqueMappedView = Base::UniqueAny<Base::NullHandleTraits<const void*, UnmapView::Close>>;

using MiniDumpWriteDumpFunction = decltype(&MiniDumpWriteDump);

constexpr auto kDumpType = static_cast<MINIDUMP_TYPE>(MiniDumpWithProcessThreadData | MiniDumpWithThreadInfo);
constexpr DWORD kTemporaryDeleteOnClose = FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY;

// One trace event is limited to 64 KB and must fit a session's buffers, which
// are 8 KB by default on older systems; a dump is far larger. Its text goes
// out in events of at most this many 73-byte lines, cut at line ends into
// parts of near-equal size, so that every part after the first is long.
constexpr size_t kLinesPerEvent = 80;
constexpr size_t kLineLength = 73;

void WriteCrashReportEvent(const char* text) {
    EVENT_DATA_DESCRIPTOR fields[2];
    Base::Trace::SetStringField(fields[0], ProcessImageName());
    Base::Trace::SetStringField(fields[1], text);
    Base::Trace::WriteEvent(Base::Trace::kEventCrashReport, 2, fields);
}

void WriteCrashReportEvents(std::string& text) {
    const size_t lines = (text.size() + kLineLength - 1) / kLineLength;
    const size_t parts = (lines + kLinesPerEvent - 1) / kLinesPerEvent;
    size_t start = 0;
    for (size_t part = 0; part < parts; ++part) {
        const size_t end = std::min(text.size(), (lines * (part + 1) / parts) * kLineLength);
        const char saved = end < text.size() ? text[end] : '\0';
        text[end] = '\0';
        WriteCrashReportEvent(text.c_str() + start);
        text[end] = saved;
        start = end;
    }
}

// DbgHelp.dll is no known DLL: loaded by name it would be searched for first
// in this program's folder, which for the worker is the download cache. A
// full path with the altered search order (which works on every Windows 7,
// unlike LOAD_LIBRARY_SEARCH_SYSTEM32) also finds its own imports there.
HMODULE LoadSystemDbgHelp() {
    try {
        return LoadLibraryExW(Base::SystemFolderPath(L"dbghelp.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    } catch (const std::exception&) {
        return nullptr;
    }
}

}  // namespace

void WriteCrashDump(EXCEPTION_POINTERS* exception) {
    const Base::UniqueModule dbghelp(LoadSystemDbgHelp());
    if (!dbghelp) {
        LogError(L"LoadLibrary on dbghelp.dll failed with error %lu", GetLastError());
        return;
    }
    const auto writeDump =
        reinterpret_cast<MiniDumpWriteDumpFunction>(reinterpret_cast<void*>(GetProcAddress(dbghelp.Get(), "MiniDumpWriteDump")));
    if (writeDump == nullptr) {
        LogError(L"GetProcAddress on MiniDumpWriteDump failed with error %lu", GetLastError());
        return;
    }
    wchar_t folder[MAX_PATH];
    const DWORD folderLength = GetTempPathW(MAX_PATH, folder);
    if (folderLength == 0 || folderLength > MAX_PATH - 1) {
        LogError(L"GetTempPath failed with result %lu", folderLength);
        return;
    }
    wchar_t path[MAX_PATH];
    const UINT unique = GetTempFileNameW(folder, L"dmp", 0, path);
    if (unique == 0) {
        LogError(L"GetTempFileName failed with result %lu", unique);
        return;
    }
    const Base::UniqueFileHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                  kTemporaryDeleteOnClose, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        // GetTempFileName has created the file already; it must not stay behind.
        DeleteFileW(path);
        LogError(L"CreateFile on %s failed with error %lu", path, error);
        return;
    }

    MINIDUMP_EXCEPTION_INFORMATION exceptionInfo = {GetCurrentThreadId(), exception, TRUE};
    if (!writeDump(GetCurrentProcess(), GetCurrentProcessId(), file.Get(), kDumpType,
                   exception != nullptr ? &exceptionInfo : nullptr, nullptr, nullptr)) {
        LogError(L"MiniDumpWriteDump failed with error 0x%x", GetLastError());
        return;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart == 0 || size.QuadPart > MAXDWORD) {
        LogError(L"GetFileSize failed with error %lu", GetLastError());
        return;
    }
    const Base::UniqueHandle mapping(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, size.LowPart, nullptr));
    const UniqueMappedView view(mapping ? MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, size.LowPart) : nullptr);
    if (!view) {
        LogError(L"CreateFileMapping failed with error %lu", GetLastError());
        return;
    }
    try {
        std::string text = Base64Encode(view.Get(), size.LowPart);
        if (Base::Trace::IsBitEnabled(Base::Trace::kBitCrashReport)) WriteCrashReportEvents(text);
    } catch (const std::exception& e) {
        // Out of memory counts as well: nothing may leave a crash handler.
        LogError(L"Failed to Base64 encode [%lu] bytes error [%S]", size.LowPart, e.what());
    }
}
