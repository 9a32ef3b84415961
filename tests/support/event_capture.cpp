#include "support/event_capture.h"

#include <algorithm>
#include <mutex>

#include "base/log.h"
#include "base/trace_provider.h"

namespace Testing {
namespace {

std::mutex mutex;
std::vector<CapturedEvent> captured;
std::wstring actionPart;
std::function<void()> action;

void Capture(const EVENT_DESCRIPTOR& descriptor, ULONG count, const EVENT_DATA_DESCRIPTOR* fields) {
    CapturedEvent event{descriptor, {}, GetCurrentThreadId()};
    for (ULONG i = 0; i < count; ++i) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(fields[i].Ptr));
        event.fields.emplace_back(bytes, bytes + fields[i].Size);
    }
    std::function<void()> due;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (action && event.fields.size() == 2 && event.WideField(1).find(actionPart) != std::wstring::npos) {
            std::swap(due, action);
        }
        captured.push_back(std::move(event));
    }
    if (due) due();
}

template <typename Text>
Text WithoutNul(const std::vector<uint8_t>& bytes) {
    Text text(bytes.size() / sizeof(typename Text::value_type), 0);
    std::copy(bytes.begin(), bytes.begin() + text.size() * sizeof(text[0]), reinterpret_cast<uint8_t*>(&text[0]));
    if (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

}  // namespace

std::wstring CapturedEvent::WideField(size_t i) const { return WithoutNul<std::wstring>(fields.at(i)); }

std::string CapturedEvent::NarrowField(size_t i) const { return WithoutNul<std::string>(fields.at(i)); }

EventCapture::EventCapture() {
    // Done first, or the one-time initialisation would write the module list here.
    EnsureLoggingInitialised();
    Clear();
    Base::Testing::SetEventWriter(Capture);
    EnableSession(0, ~0ULL, 0);
}

EventCapture::~EventCapture() {
    DisableSession();
    Base::Testing::SetEventWriter(nullptr);
    Clear();
}

std::vector<CapturedEvent> EventCapture::Events() const {
    std::lock_guard<std::mutex> lock(mutex);
    return captured;
}

std::vector<std::wstring> EventCapture::Messages() const {
    std::vector<std::wstring> messages;
    for (const CapturedEvent& event : Events()) {
        if (event.descriptor.Id >= 2000 && event.descriptor.Id <= 2006 && event.fields.size() == 2) {
            messages.push_back(event.WideField(1));
        }
    }
    return messages;
}

bool EventCapture::Contains(const std::wstring& message) const {
    const auto messages = Messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

size_t EventCapture::Count(const std::wstring& part) const {
    const auto messages = Messages();
    return std::count_if(messages.begin(), messages.end(),
                         [&](const std::wstring& message) { return message.find(part) != std::wstring::npos; });
}

bool EventCapture::WaitForCount(const std::wstring& part, size_t count, DWORD limitMs) const {
    return WaitUntil([&] { return Count(part) >= count; }, limitMs);
}

bool EventCapture::ContainsStartOf(const std::wstring& prefix) const {
    const auto messages = Messages();
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::wstring& message) { return message.rfind(prefix, 0) == 0; });
}

void EventCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    captured.clear();
    action = nullptr;
}

void EventCapture::OnNext(const std::wstring& part, std::function<void()> next) {
    std::lock_guard<std::mutex> lock(mutex);
    actionPart = part;
    action = std::move(next);
}

void EnableSession(uint8_t level, uint64_t matchAny, uint64_t matchAll) {
    Base::Trace::EnableCallback(&Base::Trace::kProviderGuid, Base::Trace::kControlEnable, level, matchAny,
                                matchAll, nullptr, Base::Trace::Context());
}

void DisableSession() {
    Base::Trace::EnableCallback(&Base::Trace::kProviderGuid, Base::Trace::kControlDisable, 0, 0, 0, nullptr,
                                Base::Trace::Context());
}

std::wstring PointerText(const void* value) {
    std::wstring text;
    const auto bits = reinterpret_cast<uintptr_t>(value);
    for (int shift = 60; shift >= 0; shift -= 4) text += L"0123456789ABCDEF"[(bits >> shift) & 0xF];
    return text;
}

}  // namespace Testing
