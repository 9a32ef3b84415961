#include "base/exception.h"

#include <windows.h>

#include <cstdio>

namespace Base {
namespace {

// A system text without its surrounding blanks, false when it has none.
bool TrimmedSystemText(uint32_t code, std::string& text) {
    text = SystemMessage(code);
    const char* blanks = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return false;
    text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    return true;
}

std::string Join(const char* message, const std::string& codeText) {
    if (message == nullptr || *message == '\0') return codeText;
    return std::string(message) + " - " + codeText;
}

}  // namespace

std::string SystemMessage(uint32_t code, uint32_t language, size_t capacity) {
    std::string buffer(capacity, '\0');
    // Inserts are ignored: a text with "%1" must not read arguments never passed.
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                        language, &buffer[0], static_cast<DWORD>(capacity), nullptr);
    buffer.resize(length);
    return buffer;
}

std::string Win32ErrorText(uint32_t code) {
    std::string text;
    if (TrimmedSystemText(code, text)) return text + " (Err " + std::to_string(code) + ")";
    return "Err " + std::to_string(code);
}

std::string HresultText(int32_t hresult) {
    char hex[16];
    snprintf(hex, sizeof(hex), "%08X", static_cast<unsigned>(hresult));
    std::string text;
    if (TrimmedSystemText(static_cast<uint32_t>(hresult), text)) return text + " (HR 0x" + hex + ")";
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

// Codes from 0x80000000 up (exceptions that ended a program, HRESULTs) read
// best in hexadecimal.
std::string CodeNumber(uint32_t code) {
    if (code < 0x80000000u) return std::to_string(code);
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08X", code);
    return hex;
}

std::string ComposeUpdateText(const char* message, int32_t signedCode) {
    const auto code = static_cast<uint32_t>(signedCode);
    const std::string systemText =
        code != 0 ? Base::SystemMessage(code, 0x400, AutoUpdateException::kTextCapacity - 1) : "";
    const std::string codeText = systemText.empty() ? CodeNumber(code) : systemText;
    if (message != nullptr && *message != '\0') {
        return code != 0 ? std::string(message) + " " + codeText : std::string(message);
    }
    return code != 0 ? codeText : "An error occurred whilst updating.";
}

}  // namespace

AutoUpdateException::AutoUpdateException(const char* message, int32_t code) {
    // Longer texts are cut rather than overflow the buffer.
    const std::string composed = ComposeUpdateText(message, code);
    composed.copy(text, kTextCapacity - 1);
}
