#pragma once
// Captures the trace events this process writes, through the provider's test
// seam, and plays the part of a trace session that enables the provider.

#include <windows.h>
#include <evntprov.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Testing {

struct CapturedEvent {
    EVENT_DESCRIPTOR descriptor;
    std::vector<std::vector<uint8_t>> fields;

    // Field i read as a UTF-16 string without its NUL.
    std::wstring WideField(size_t i) const;
};

class EventCapture {
public:
    // Enables every bit (level 0, all keywords) unless told otherwise.
    EventCapture();
    ~EventCapture();
    EventCapture(const EventCapture&) = delete;
    EventCapture& operator=(const EventCapture&) = delete;

    std::vector<CapturedEvent> Events() const;
    // Messages (second field) of log events, in order.
    std::vector<std::wstring> Messages() const;
    bool Contains(const std::wstring& message) const;
    // True when a message begins with prefix (for texts that end in a code).
    bool ContainsStartOf(const std::wstring& prefix) const;
    void Clear();
};

// Calls the provider's enable callback as the platform would for a session.
void EnableSession(uint8_t level, uint64_t matchAny, uint64_t matchAll);
void DisableSession();

}  // namespace Testing
