#include "support/child_process.h"

#include <algorithm>
#include <iterator>
#include <sstream>

namespace Testing {
namespace {

// The process's own environment with the extra "NAME=value" lines after it.
std::wstring BuildEnvironmentBlock(const std::wstring& extra) {
    std::wstring block;
    if (wchar_t* current = GetEnvironmentStringsW()) {
        for (const wchar_t* p = current; *p; p += wcslen(p) + 1) block.append(p).push_back(L'\0');
        FreeEnvironmentStringsW(current);
    }
    std::wistringstream lines(extra);
    for (std::wstring line; std::getline(lines, line);) {
        if (!line.empty()) block.append(line).push_back(L'\0');
    }
    return block + L'\0';
}

}  // namespace

ChildProcess::ChildProcess(const std::wstring& commandLine, const std::wstring& environment) {
    // Wine's desktop process, started by a child's first window, would inherit
    // and hold the output pipe: start it from here, before any pipe exists.
    [[maybe_unused]] static const HWND desktop = GetDesktopWindow();
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    Base::UniqueHandle inputRead, outputWrite;
    if (!CreatePipe(inputRead.Put(), inputWrite.Put(), &inherit, 0) ||
        !CreatePipe(outputRead.Put(), outputWrite.Put(), &inherit, 0)) {
        return;
    }
    SetHandleInformation(inputWrite.Get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outputRead.Get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead.Get();
    startup.hStdOutput = outputWrite.Get();
    startup.hStdError = outputWrite.Get();
    PROCESS_INFORMATION info = {};
    std::wstring line = commandLine;
    std::wstring block = environment.empty() ? std::wstring() : BuildEnvironmentBlock(environment);
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                       block.empty() ? nullptr : &block[0], nullptr, &startup, &info)) {
        process.Reset(info.hProcess);
        CloseHandle(info.hThread);
    }
    outputWrite.Reset();  // the child's copy is the only writer left
    reader = std::thread([this] { ReadLoop(); });
}

ChildProcess::~ChildProcess() {
    if (IsRunning()) {
        TerminateProcess(process.Get(), 1);
        WaitForSingleObject(process.Get(), 10000);
    }
    CloseInput();
    if (reader.joinable()) reader.join();
}

void ChildProcess::ReadLoop() {
    char buffer[4096];
    DWORD read = 0;
    while (outputRead && ReadFile(outputRead.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        std::lock_guard<std::mutex> lock(mutex);
        // The C runtime's text mode turns "\n" into "\r\n"; tests compare lines.
        std::remove_copy(buffer, buffer + read, std::back_inserter(output), '\r');
        changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex);
    outputClosed = true;
    changed.notify_all();
}

void ChildProcess::WriteInput(const std::string& bytes) {
    DWORD written = 0;
    if (inputWrite) WriteFile(inputWrite.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void ChildProcess::CloseInput() { inputWrite.Reset(); }

bool ChildProcess::WaitForOutput(const std::string& text, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return output.find(text) != std::string::npos || outputClosed; }) &&
           output.find(text) != std::string::npos;
}

std::string ChildProcess::Output() {
    std::lock_guard<std::mutex> lock(mutex);
    return output;
}

bool ChildProcess::IsRunning() const { return process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT; }

DWORD ChildProcess::Wait(DWORD timeoutMs) {
    if (!process || WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.Get(), &code);
    if (reader.joinable()) reader.join();
    return code;
}

ProcessResult RunToEnd(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& environment) {
    ChildProcess child(commandLine, environment);
    child.CloseInput();
    const DWORD code = child.Wait(timeoutMs);
    return {code, child.Output()};
}

std::wstring TestBinaryFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring ServiceExecutable() {
    std::wstring folder = TestBinaryFolder();
    return folder.substr(0, folder.find_last_of(L"\\/")) + L"\\kxclient_service.exe";
}

std::wstring SourcePath(const std::wstring& relative) {
    const std::string source = KX_SOURCE_DIR;
    std::wstring path = L"Z:" + std::wstring(source.begin(), source.end()) + L"/" + relative;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

}  // namespace Testing
