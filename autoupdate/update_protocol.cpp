#include "autoupdate/update_protocol.h"

#include <windows.h>
#include <strsafe.h>

#include <cstdlib>
#include <stdexcept>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "autoupdate/rpc_caller.h"
#include "autoupdate/update_controller.h"
#include "autoupdate/url_parts.h"
#include "autoupdate/worker_process.h"
#include "base/log.h"

namespace {

using JsonDocument = rapidjson::GenericDocument<rapidjson::UTF16<>>;
using JsonValue = rapidjson::GenericValue<rapidjson::UTF16<>>;
using JsonBuffer = rapidjson::GenericStringBuffer<rapidjson::UTF16<>>;
using JsonWriter = rapidjson::Writer<JsonBuffer, rapidjson::UTF16<>, rapidjson::UTF16<>>;

// Iterative parsing keeps the parser's stack on the heap: a deeply nested
// request cannot overflow the stack of the RPC thread.
constexpr unsigned kParseFlags = rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;
// RapidJSON does not survive an allocation that fails, and up to 1234 calls
// parse at once: what one request may make it parse is bounded. A real
// instruction (a few URLs and options) is a few thousand units.
constexpr size_t kMaxInstructionUnits = 64 * 1024;

const wchar_t kParseFailedMessage[] = L"Failed to parse RPC instruction";

// A request's shape that cannot be read as an instruction. Thrown only
// inside parsing and reported like any parse failure.
class MalformedInstruction : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An over-long request is refused before RapidJSON sees it.
void ParseRequest(const wchar_t* request, JsonDocument& document) {
    if (request == nullptr) return;
    if (wcsnlen(request, kMaxInstructionUnits + 1) > kMaxInstructionUnits) {
        throw MalformedInstruction("instruction is longer than 65536 units");
    }
    document.Parse<kParseFlags>(request);
}

std::wstring StringOf(const JsonValue& value) { return std::wstring(value.GetString(), value.GetStringLength()); }

// Member of an object value, or null; RapidJSON must not be asked for members
// of anything but an object.
const JsonValue* MemberOf(const JsonValue& object, const wchar_t* name) {
    if (!object.IsObject()) return nullptr;
    const auto member = object.FindMember(name);
    return member == object.MemberEnd() ? nullptr : &member->value;
}

std::wstring RequiredString(const JsonValue& data, const wchar_t* name, const char* failure) {
    const JsonValue* value = MemberOf(data, name);
    if (!value || !value->IsString()) throw MalformedInstruction(failure);
    return StringOf(*value);
}

void CopyStringIfPresent(const JsonValue& object, const wchar_t* name, std::wstring& target) {
    const JsonValue* value = MemberOf(object, name);
    if (value && value->IsString()) target = StringOf(*value);
}

void ReadProxy(const JsonValue& data, ProxySettings& proxy) {
    const JsonValue* settings = MemberOf(data, L"proxy");
    if (!settings || !settings->IsObject()) return;
    const JsonValue* autoDetect = MemberOf(*settings, L"autoDetect");
    if (autoDetect && autoDetect->IsBool()) proxy.autoDetect = autoDetect->GetBool();
    CopyStringIfPresent(*settings, L"autoConfigUrl", proxy.autoConfigUrl);
    CopyStringIfPresent(*settings, L"proxy", proxy.proxy);
    CopyStringIfPresent(*settings, L"proxyBypass", proxy.proxyBypass);
}

void ReadUrls(const JsonValue& data, std::vector<std::wstring>& urls) {
    const JsonValue* list = MemberOf(data, L"urls");
    if (!list || !list->IsArray()) return;
    LogVerbose(L"Found [%lu] urls", static_cast<unsigned long>(list->Size()));
    for (const JsonValue& element : list->GetArray()) {
        if (!element.IsString()) continue;
        LogVerbose(L"Adding url: [%s]", WithoutPasswords(StringOf(element)).c_str());
        urls.push_back(StringOf(element));
    }
}

UpdateResponse CurrentProgressLocked() {
    const UpdateController* controller = currentController.load();
    // A task that has just been started has not made its controller yet.
    return controller ? controller->ProgressLocked() : UpdateResponse{};
}

bool TaskExistsLocked() { return currentController.load() || controllerTask.valid(); }

UpdateResponse StartTaskLocked(const UpdateRequest& updateRequest) {
    LogInfo(L"No controller - creating new controller thread");
    try {
        controllerTask = StartControllerTask(updateRequest);
        return UpdateResponse{Downloading, L""};
    } catch (const std::exception& e) {
        LogError(L"Failed to start the update task error [%S]", e.what());
        return UpdateResponse{Failed, L"Failed to start the update task"};
    }
}

}  // namespace

std::wstring ParseInstructionId(const wchar_t* request) {
    LogEnter(nullptr);
    std::wstring id;
    try {
        JsonDocument document;
        ParseRequest(request, document);
        const JsonValue* value = MemberOf(document, L"id");
        if (value && value->IsString()) id = StringOf(*value);
    } catch (const std::exception& e) {
        LogError(L"Failed to parse json.  Error: %S", e.what());
    }
    LogExit(nullptr);
    return id;
}

bool ParseUpdateRequest(const wchar_t* request, UpdateRequest& updateRequest) {
    LogEnter(nullptr);
    try {
        JsonDocument document;
        ParseRequest(request, document);
        const JsonValue* data = MemberOf(document, L"data");
        if (!data) {
            LogExit(nullptr);
            return true;
        }
        if (!data->IsObject()) throw MalformedInstruction("member data is not an object");
        ReadUrls(*data, updateRequest.urls);
        updateRequest.hash = RequiredString(*data, L"hash", "member hash of data is missing or not a string");
        updateRequest.args = RequiredString(*data, L"args", "member args of data is missing or not a string");
        const JsonValue* downgrade = MemberOf(*data, L"downgrade");
        updateRequest.downgrade = downgrade && downgrade->IsTrue();
        ReadProxy(*data, updateRequest.proxy);
        const ProxySettings& proxy = updateRequest.proxy;
        LogInfo(L"Parsed request into hash [%s] args [%s] proxy autoDetect [%u] autoConfigUrl [%s] proxy [%s] "
                L"proxyBypass [%s]",
                updateRequest.hash.c_str(), updateRequest.args.c_str(), proxy.autoDetect ? 1u : 0u,
                WithoutPasswords(proxy.autoConfigUrl).c_str(), proxy.proxy.c_str(), proxy.proxyBypass.c_str());
    } catch (const std::exception& e) {
        LogError(L"Failed to parse json.  Error: %S", e.what());
        return false;
    }
    LogExit(nullptr);
    return true;
}

void HandleBegin(const wchar_t* request, wchar_t** response) {
    LogEnter(nullptr);
    UpdateResponse reply;
    std::unique_lock<std::mutex> lock(controllerLock);
    bool exists = TaskExistsLocked();
    if (!exists) {
        // Parsed without the lock: a large request holds up neither queries
        // nor the running task's status writes.
        lock.unlock();
        UpdateRequest updateRequest;
        const bool parsed = ParseUpdateRequest(request, updateRequest);
        lock.lock();
        // Checked again up to storing the task: of begins arriving together
        // exactly one starts it.
        exists = TaskExistsLocked();
        if (!exists) reply = parsed ? StartTaskLocked(updateRequest) : UpdateResponse{Failed, kParseFailedMessage};
    }
    if (exists) {
        LogInfo(L"Controller already exists");
        reply = CurrentProgressLocked();
    }
    lock.unlock();
    WriteResponse(response, reply);
    LogExit(nullptr);
}

void HandleQuery(wchar_t** response) {
    LogEnter(nullptr);
    bool exists = false;
    UpdateResponse reply;
    {
        std::lock_guard<std::mutex> lock(controllerLock);
        if (currentController.load()) {
            exists = true;
            reply = CurrentProgressLocked();
        }
    }
    if (exists) {
        WriteResponse(response, reply);
    } else {
        LogInfo(L"UpdateRpcServer has received a query progress instruction but no controller exists.  Has a "
                L"begin update instruction been received?");
    }
    LogExit(nullptr);
}

void WriteResponse(wchar_t** response, const UpdateResponse& updateResponse) {
    LogEnter(nullptr);
    JsonDocument document;
    auto& allocator = document.GetAllocator();
    JsonValue data(rapidjson::kObjectType);
    data.AddMember(L"status", updateResponse.status, allocator);
    if (!updateResponse.errorMessage.empty()) {
        JsonValue message(updateResponse.errorMessage.c_str(),
                          static_cast<rapidjson::SizeType>(updateResponse.errorMessage.size()), allocator);
        data.AddMember(L"errorMessage", message, allocator);
    }
    document.SetObject();
    document.AddMember(L"data", data, allocator);
    JsonBuffer buffer;
    JsonWriter writer(buffer);
    document.Accept(writer);

    const size_t length = buffer.GetSize() / sizeof(wchar_t);
    auto* reply = static_cast<wchar_t*>(calloc(length + 1, sizeof(wchar_t)));
    if (reply && response) {
        StringCchCopyW(reply, length + 1, buffer.GetString());
        *response = reply;
        LogInfo(L"Response set to be: [%s]", reply);
    } else {
        free(reply);
    }
    LogExit(nullptr);
}

void DispatchInstruction(const wchar_t* request, wchar_t** response) {
    // Nothing may escape to the RPC runtime.
    try {
        const std::wstring id = ParseInstructionId(request);
        if (id == kBeginInstruction) {
            LogInfo(L"Handling begin instruction from [%s]", RpcCallerAccountName().c_str());
            HandleBegin(request, response);
        } else if (id == kQueryInstruction) {
            LogInfo(L"Handling query progress instruction");
            HandleQuery(response);
        } else if (id == kLaunchInstruction) {
            LogInfo(L"Handling launch instruction");
            LogInfo(L"Handling a launch auto update instruction");
            RespawnWorker();
        } else {
            LogInfo(L"Unexpected instruction [%s] pass to UpdateRpcServer", id.c_str());
        }
    } catch (const std::exception& e) {
        LogError(L"Failed to run RPC instruction error [%S]", e.what());
    } catch (...) {
        LogError(L"Failed to run RPC instruction error [%S]", "unknown exception");
    }
}
