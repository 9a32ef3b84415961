#include "base/exception.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace Base {
namespace {

// Inserts are ignored: a system text with "%1" and no arguments must not read
// arguments that were never passed.
constexpr DWORD kSystemMessage = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

bool SystemText(uint32_t code, std::string& text) {
    char buffer[4096] = {};
    const DWORD length = FormatMessageA(kSystemMessage, nullptr, code, 0, buffer, sizeof(buffer), nullptr);
    if (length == 0) return false;
    text.assign(buffer, length);
    const char* blanks = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        text.clear();
    } else {
        text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    }
    return true;
}

std::string Join(const char* message, const std::string& codeText) {
    if (message == nullptr || *message == '\0') return codeText;
    return std::string(message) + " - " + codeText;
}

}  // namespace

std::string Win32ErrorText(uint32_t code) {
    std::string text;
    if (SystemText(code, text)) return text + " (Err " + std::to_string(code) + ")";
    return "Err " + std::to_string(code);
}

std::string HresultText(int32_t hresult) {
    char hex[16];
    snprintf(hex, sizeof(hex), "%08X", static_cast<unsigned>(hresult));
    std::string text;
    if (SystemText(static_cast<uint32_t>(hresult), text)) return text + " (HR 0x" + hex + ")";
    return std::string("HR 0x") + hex;
}

Exception::Exception(const char* message) : message(message ? message : "") {}
Exception::Exception(const Exception& other) : std::exception(), message(other.what()) {}
Exception& Exception::operator=(const Exception& other) {
    if (this != &other) message = other.what();
    return *this;
}
Exception::~Exception() = default;
const char* Exception::what() const noexcept { return message.c_str(); }

ExceptionWin32::ExceptionWin32(const char* message, uint32_t code)
    : fullText(Join(message, Win32ErrorText(code))), code(code) {}
ExceptionWin32::~ExceptionWin32() = default;
const char* ExceptionWin32::what() const noexcept { return fullText.c_str(); }

ExceptionHresultWin32::ExceptionHresultWin32(const char* message, int32_t hresult)
    : fullText(Join(message, HresultText(hresult))), code(static_cast<uint32_t>(hresult)) {}
ExceptionHresultWin32::~ExceptionHresultWin32() = default;
const char* ExceptionHresultWin32::what() const noexcept { return fullText.c_str(); }

}  // namespace Base

namespace {

std::string ComposeUpdateText(const char* message, int32_t code) {
    char system[AutoUpdateException::kTextCapacity] = {};
    if (code > 0) {
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0x400, system, sizeof(system) - 1, nullptr);
    }
    const std::string systemText = system;
    const std::string codeText = systemText.empty() ? std::to_string(code) : systemText;
    if (message != nullptr && *message != '\0') {
        return code > 0 ? std::string(message) + " " + codeText : std::string(message);
    }
    return code > 0 ? codeText : "An error occurred whilst updating.";
}

char* CopyCut(const char* source) {
    // Longer texts are cut rather than overflow the fixed buffer.
    char* copy = new char[AutoUpdateException::kTextCapacity];
    const size_t length = std::min(strlen(source), AutoUpdateException::kTextCapacity - 1);
    memcpy(copy, source, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace

AutoUpdateException::AutoUpdateException(const char* message, int32_t code)
    : text(CopyCut(ComposeUpdateText(message, code).c_str())) {}
AutoUpdateException::AutoUpdateException(const AutoUpdateException& other)
    : std::exception(), text(CopyCut(other.text)) {}
AutoUpdateException& AutoUpdateException::operator=(const AutoUpdateException& other) {
    if (this != &other) {
        char* copy = CopyCut(other.text);
        delete[] text;
        text = copy;
    }
    return *this;
}
AutoUpdateException::~AutoUpdateException() { delete[] text; }
