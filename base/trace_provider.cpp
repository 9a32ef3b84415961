#include "base/trace_provider.h"

#include <atomic>
#include <cstring>

#include "base/crash_report.h"

namespace Base::Trace {

const GUID kProviderGuid = {0x1504D4A3, 0xCF61, 0x4AE3, {0x96, 0x8E, 0x9E, 0x58, 0xFC, 0x2D, 0x89, 0x3A}};

const EnableBitEntry kEnableTable[kEnableBitCount] = {
    {0x8000000000000004ULL, 18}, {0x8000000000000004ULL, 17}, {0x8000000000000004ULL, 16},
    {0x8000000000000004ULL, 5},  {0x8000000000000002ULL, 4},  {0x8000000000000002ULL, 3},
    {0x8000000000000002ULL, 2},
    // Bits 7 to 11 carry no event of this program; they keep 12 and 13 in place.
    {0x4000000000000001ULL, 18}, {0x4000000000000001ULL, 5},  {0x4000000000000001ULL, 4},
    {0x4000000000000001ULL, 3},  {0x4000000000000001ULL, 2},
    {0x8000000000000008ULL, 4},  {0x8000000000000010ULL, 1},
};

namespace {
constexpr UCHAR kVersion = 1;
constexpr UCHAR kChannel = 16;

constexpr EVENT_DESCRIPTOR Descriptor(USHORT id, UCHAR level, UCHAR opcode, USHORT task, ULONGLONG keyword) {
    return EVENT_DESCRIPTOR{id, kVersion, kChannel, level, opcode, task, keyword};
}

uint64_t keywordTable[kEnableBitCount];
uint8_t levelTable[kEnableBitCount];
volatile uint32_t enableBits = 0;
REGHANDLE registration = 0;

bool FillTables() {
    for (unsigned i = 0; i < kEnableBitCount; ++i) {
        keywordTable[i] = kEnableTable[i].keyword;
        levelTable[i] = kEnableTable[i].level;
    }
    return true;
}
[[maybe_unused]] const bool tablesFilled = FillTables();

TraceContext context = {0, 0, 0, 0, kEnableBitCount, &enableBits, keywordTable, levelTable};

std::atomic<Testing::EventWriter> testWriter{nullptr};

bool LevelKeywordEnabled(const TraceContext& ctx, uint8_t level, uint64_t keyword) {
    if (level <= ctx.level || ctx.level == 0) {
        if (keyword == 0) return true;
        if ((keyword & ctx.matchAnyKeyword) != 0 && (keyword & ctx.matchAllKeyword) == ctx.matchAllKeyword) {
            return true;
        }
    }
    return false;
}
}  // namespace

const EVENT_DESCRIPTOR kEventDebug = Descriptor(2000, 18, 17, 1, 0x8000000000000004ULL);
const EVENT_DESCRIPTOR kEventExit = Descriptor(2001, 17, 11, 2, 0x8000000000000004ULL);
const EVENT_DESCRIPTOR kEventEnter = Descriptor(2002, 16, 10, 2, 0x8000000000000004ULL);
const EVENT_DESCRIPTOR kEventVerbose = Descriptor(2003, 5, 12, 1, 0x8000000000000004ULL);
const EVENT_DESCRIPTOR kEventInfo = Descriptor(2004, 4, 13, 1, 0x8000000000000002ULL);
const EVENT_DESCRIPTOR kEventWarning = Descriptor(2005, 3, 14, 1, 0x8000000000000002ULL);
const EVENT_DESCRIPTOR kEventError = Descriptor(2006, 2, 15, 1, 0x8000000000000002ULL);
const EVENT_DESCRIPTOR kEventModuleList = Descriptor(2020, 4, 12, 1, 0x8000000000000008ULL);
const EVENT_DESCRIPTOR kEventCrashReport = Descriptor(2021, 1, 15, 1, 0x8000000000000010ULL);

const std::vector<const EVENT_DESCRIPTOR*>& AllEventDescriptors() {
    static const std::vector<const EVENT_DESCRIPTOR*> all = {
        &kEventDebug, &kEventExit,    &kEventEnter,      &kEventVerbose,    &kEventInfo,
        &kEventWarning, &kEventError, &kEventModuleList, &kEventCrashReport,
    };
    return all;
}

TraceContext* Context() { return &context; }

bool IsBitEnabled(unsigned bit) { return (enableBits & (1u << bit)) != 0; }

void RegisterProvider() {
    if (registration != 0) return;
    REGHANDLE handle = 0;
    if (EventRegister(&kProviderGuid, EnableCallback, &context, &handle) == ERROR_SUCCESS) {
        registration = handle;
    }
}

void NTAPI EnableCallback(LPCGUID, ULONG controlCode, UCHAR level, ULONGLONG matchAnyKeyword,
                          ULONGLONG matchAllKeyword, PEVENT_FILTER_DESCRIPTOR, PVOID callbackContext) {
    auto* ctx = static_cast<TraceContext*>(callbackContext);
    if (ctx == nullptr) return;
    switch (controlCode) {
    case kControlDisable:
        ctx->isEnabled = 0;
        ctx->level = 0;
        ctx->matchAnyKeyword = 0;
        ctx->matchAllKeyword = 0;
        *ctx->enableBits = 0;
        break;
    case kControlEnable: {
        ctx->level = level;
        ctx->matchAnyKeyword = matchAnyKeyword;
        ctx->matchAllKeyword = matchAllKeyword;
        ctx->isEnabled = 1;
        uint32_t bits = *ctx->enableBits;
        for (unsigned i = 0; i < ctx->enableBitCount; ++i) {
            if (LevelKeywordEnabled(*ctx, ctx->levels[i], ctx->keywords[i])) {
                bits |= 1u << i;
            } else {
                bits &= ~(1u << i);
            }
        }
        *ctx->enableBits = bits;
        break;
    }
    case kControlCaptureState:
        CaptureStateOnPool();
        break;
    default:
        break;
    }
}

void SetStringField(EVENT_DATA_DESCRIPTOR& field, const wchar_t* text) {
    if (text == nullptr) text = L"NULL";
    EventDataDescCreate(&field, text, static_cast<ULONG>((wcslen(text) + 1) * sizeof(wchar_t)));
}

void SetStringField(EVENT_DATA_DESCRIPTOR& field, const char* text) {
    if (text == nullptr) text = "NULL";
    EventDataDescCreate(&field, text, static_cast<ULONG>(strlen(text) + 1));
}

void WriteEvent(const EVENT_DESCRIPTOR& descriptor, ULONG fieldCount, EVENT_DATA_DESCRIPTOR* fields) {
    if (Testing::EventWriter writer = testWriter.load(std::memory_order_acquire)) {
        writer(descriptor, fieldCount, fields);
        return;
    }
    EventWrite(registration, &descriptor, fieldCount, fields);
}

void WriteLogEvent(const EVENT_DESCRIPTOR& descriptor, const wchar_t* imageName, const wchar_t* message) {
    EVENT_DATA_DESCRIPTOR fields[2];
    SetStringField(fields[0], imageName);
    SetStringField(fields[1], message);
    WriteEvent(descriptor, 2, fields);
}

}  // namespace Base::Trace

namespace Base::Testing {
void SetEventWriter(EventWriter writer) {
    Base::Trace::testWriter.store(writer, std::memory_order_release);
}
}  // namespace Base::Testing
