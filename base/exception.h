#pragma once
// The program's exception family. Texts are narrow, which is why log formats
// print them with "%S". Copying any member of the family into a
// Base::Exception keeps the full what() text.

#include <cstdint>
#include <exception>
#include <optional>
#include <memory>
#include <string>
#include <type_traits>

namespace Base {

class Exception : public std::exception {
public:
    explicit Exception(const char* message);
    explicit Exception(const std::string& message) : Exception(message.c_str()) {}
    Exception(const Exception& other);
    Exception& operator=(const Exception& other);
    ~Exception() override;

    const char* what() const noexcept override;

protected:
    Exception() = default;

private:
    std::string message;
};

// A message, " - " and the system's text for a Win32 error code.
class ExceptionWin32 : public Exception {
public:
    ExceptionWin32(const char* message, uint32_t code);
    explicit ExceptionWin32(uint32_t code) : ExceptionWin32("", code) {}
    ExceptionWin32(const ExceptionWin32& other) = default;
    ~ExceptionWin32() override;

    const char* what() const noexcept override;
    uint32_t Code() const { return code; }

private:
    std::string fullText;
    uint32_t code;
};

// A message, " - " and the system's text for an HRESULT.
class ExceptionHresultWin32 : public Exception {
public:
    ExceptionHresultWin32(const char* message, int32_t hresult);
    ExceptionHresultWin32(const ExceptionHresultWin32& other) = default;
    ~ExceptionHresultWin32() override;

    const char* what() const noexcept override;
    int32_t Code() const { return static_cast<int32_t>(code); }

private:
    std::string fullText;
    uint32_t code;
};

// The system's own text for a code in a language (0: the system's choice), as
// it comes, line break included; empty when it has none in `capacity` bytes.
std::string SystemMessage(uint32_t code, uint32_t language = 0, size_t capacity = 4096);
// "<system text> (Err N)", or "Err N" when the system has no text.
std::string Win32ErrorText(uint32_t code);
// "<system text> (HR 0xXXXXXXXX)", or "HR 0xXXXXXXXX".
std::string HresultText(int32_t hresult);

// An optional exception handed to callbacks that run on pool threads. It keeps
// the exception's own class, so a holder of Maybe<Exception> can still ask a
// held ExceptionWin32 for its code.
template <typename T>
class Maybe {
public:
    Maybe() = default;
    template <typename U, typename = std::enable_if_t<std::is_base_of_v<T, U>>>
    Maybe(const U& value) : value(std::make_shared<const U>(value)) {}

    bool HasValue() const { return value != nullptr; }
    const T& Value() const { return *value; }

private:
    std::shared_ptr<const T> value;
};

}  // namespace Base

// Failures of the auto-update steps. The text is at most 254 characters, cut
// there, and held in place, so copying the exception cannot throw.
class AutoUpdateException : public std::exception {
public:
    static constexpr size_t kTextCapacity = 255;

    explicit AutoUpdateException(const char* message, int32_t code = 0);

    const char* what() const noexcept override { return text; }

private:
    char text[kTextCapacity] = {};
};
