#pragma once
// Captures the trace events this process writes, through the provider's test
// seam, and plays the part of a trace session that enables the provider.

#include <windows.h>
#include <evntprov.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/wait_until.h"

namespace Testing {

struct CapturedEvent {
    EVENT_DESCRIPTOR descriptor;
    std::vector<std::vector<uint8_t>> fields;
    DWORD threadId;  // the writer's

    // Field i as a UTF-16 or a narrow string, without its NUL.
    std::wstring WideField(size_t i) const;
    std::string NarrowField(size_t i) const;
};

class EventCapture {
public:
    // Enables every bit (level 0, all keywords).
    EventCapture();
    ~EventCapture();
    EventCapture(const EventCapture&) = delete;
    EventCapture& operator=(const EventCapture&) = delete;

    std::vector<CapturedEvent> Events() const;
    // Messages (second field) of log events, in order.
    std::vector<std::wstring> Messages() const;
    bool Contains(const std::wstring& message) const;
    // Messages that contain `part`.
    size_t Count(const std::wstring& part) const;
    // True once `count` messages contain `part`, within the limit.
    bool WaitForCount(const std::wstring& part, size_t count, DWORD limitMs = 30000) const;
    // True when a message begins with prefix (for texts that end in a code).
    bool ContainsStartOf(const std::wstring& prefix) const;
    void Clear();
    // Runs `action` inside the log call that writes the next message holding
    // `part`: it can throw from there, or hold the logging thread.
    void OnNext(const std::wstring& part, std::function<void()> action);
};

// Calls the provider's enable callback as the platform would for a session.
void EnableSession(uint8_t level, uint64_t matchAny, uint64_t matchAll);
void DisableSession();

// What "[%p]" shows for a pointer in a trace line: 16 upper-case hex digits.
std::wstring PointerText(const void* value);

}  // namespace Testing
