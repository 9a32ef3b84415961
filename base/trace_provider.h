#pragma once
// The service's own event-tracing provider: its identity, the 14 enable bits a
// trace session can switch on (by level and keyword), the event descriptors,
// and the one place where an event is written.
//
// Vocabulary: an "enable bit" is one entry of the provider table; a session
// enables it when the entry's level and keyword pass the session's level and
// match-any/match-all keywords. Log operations and the diagnostic events check
// their bit before doing any work.

#include <windows.h>
#include <evntprov.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Base::Trace {

// {1504D4A3-CF61-4AE3-968E-9E58FC2D893A}
extern const GUID kProviderGuid;

constexpr unsigned kEnableBitCount = 14;

struct EnableBitEntry {
    uint64_t keyword;
    uint8_t level;
};
extern const EnableBitEntry kEnableTable[kEnableBitCount];

// Bits of the table used by the program's events.
enum EnableBit : unsigned {
    kBitDebug = 0,
    kBitExit = 1,
    kBitEnter = 2,
    kBitVerbose = 3,
    kBitInfo = 4,
    kBitWarning = 5,
    kBitError = 6,
    kBitModuleList = 12,
    kBitCrashReport = 13,
};

extern const EVENT_DESCRIPTOR kEventDebug;        // 2000
extern const EVENT_DESCRIPTOR kEventExit;         // 2001
extern const EVENT_DESCRIPTOR kEventEnter;        // 2002
extern const EVENT_DESCRIPTOR kEventVerbose;      // 2003
extern const EVENT_DESCRIPTOR kEventInfo;         // 2004
extern const EVENT_DESCRIPTOR kEventWarning;      // 2005
extern const EVENT_DESCRIPTOR kEventError;        // 2006
extern const EVENT_DESCRIPTOR kEventModuleList;   // 2020
extern const EVENT_DESCRIPTOR kEventCrashReport;  // 2021

// All descriptors, in event-id order.
const std::vector<const EVENT_DESCRIPTOR*>& AllEventDescriptors();

// What the enable callback keeps of the sessions' wishes.
struct TraceContext {
    uint64_t matchAnyKeyword;
    uint64_t matchAllKeyword;
    uint8_t level;
    uint32_t isEnabled;
    uint16_t enableBitCount;
    volatile uint32_t* enableBits;
    const uint64_t* keywords;
    const uint8_t* levels;
};
TraceContext* Context();

bool IsBitEnabled(unsigned bit);

// Registers the provider unless it already is; failures are ignored.
void RegisterProvider();

// Control codes the platform passes to the enable callback.
constexpr ULONG kControlDisable = 0;
constexpr ULONG kControlEnable = 1;
constexpr ULONG kControlCaptureState = 2;

// The platform's enable callback: 0 disables, 1 enables, 2 captures state.
void NTAPI EnableCallback(LPCGUID sourceId, ULONG controlCode, UCHAR level,
                          ULONGLONG matchAnyKeyword, ULONGLONG matchAllKeyword,
                          PEVENT_FILTER_DESCRIPTOR filterData, PVOID callbackContext);

// Payload fields. Strings carry their NUL; a null string is written as "NULL".
void SetStringField(EVENT_DATA_DESCRIPTOR& field, const wchar_t* text);
void SetStringField(EVENT_DATA_DESCRIPTOR& field, const char* text);

// The single point where events leave the process.
void WriteEvent(const EVENT_DESCRIPTOR& descriptor, ULONG fieldCount, EVENT_DATA_DESCRIPTOR* fields);

// Writes a log event: ProcessImageName, then the message.
void WriteLogEvent(const EVENT_DESCRIPTOR& descriptor, const wchar_t* imageName, const wchar_t* message);

}  // namespace Base::Trace

namespace Base::Testing {
// Tests see every written event here instead of the platform; null restores it.
using EventWriter = void (*)(const EVENT_DESCRIPTOR& descriptor, ULONG fieldCount,
                             const EVENT_DATA_DESCRIPTOR* fields);
void SetEventWriter(EventWriter writer);
}
