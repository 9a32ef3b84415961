#include "update_instruction.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "autoupdate/update_rpc_names.h"

namespace {

using Utf16 = rapidjson::UTF16<wchar_t>;
using Buffer = rapidjson::GenericStringBuffer<Utf16>;
using JsonWriter = rapidjson::Writer<Buffer, Utf16, Utf16>;
using Document = rapidjson::GenericDocument<Utf16>;

void WriteString(JsonWriter& writer, const std::wstring& text) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void WriteMember(JsonWriter& writer, const wchar_t* name, const std::wstring& value) {
    writer.Key(name);
    WriteString(writer, value);
}

std::wstring IdOnly(const wchar_t* id) {
    Buffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    WriteMember(writer, L"id", id);
    writer.EndObject();
    return buffer.GetString();
}

}  // namespace

std::wstring BeginInstruction(const BeginOptions& options) {
    Buffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    WriteMember(writer, L"id", kBeginInstruction);
    writer.Key(L"data");
    writer.StartObject();
    writer.Key(L"urls");
    writer.StartArray();
    for (const std::wstring& url : options.urls) WriteString(writer, url);
    writer.EndArray();
    WriteMember(writer, L"hash", options.hash);
    WriteMember(writer, L"args", options.args);
    writer.Key(L"downgrade");
    writer.Bool(options.downgrade);
    if (options.proxy || options.proxyBypass || options.autoConfigUrl || !options.autoDetect) {
        writer.Key(L"proxy");
        writer.StartObject();
        writer.Key(L"autoDetect");
        writer.Bool(options.autoDetect);
        if (options.autoConfigUrl) WriteMember(writer, L"autoConfigUrl", *options.autoConfigUrl);
        if (options.proxy) WriteMember(writer, L"proxy", *options.proxy);
        if (options.proxyBypass) WriteMember(writer, L"proxyBypass", *options.proxyBypass);
        writer.EndObject();
    }
    writer.EndObject();
    writer.EndObject();
    return buffer.GetString();
}

std::wstring QueryInstruction() { return IdOnly(kQueryInstruction); }

std::wstring LaunchInstruction() { return IdOnly(kLaunchInstruction); }

std::optional<UpdateProgress> ParseProgress(const std::wstring& reply) {
    Document document;
    document.Parse(reply.c_str());
    if (document.HasParseError() || !document.IsObject()) return std::nullopt;
    auto data = document.FindMember(L"data");
    if (data == document.MemberEnd() || !data->value.IsObject()) return std::nullopt;
    auto status = data->value.FindMember(L"status");
    if (status == data->value.MemberEnd() || !status->value.IsInt()) return std::nullopt;
    UpdateProgress progress;
    progress.status = status->value.GetInt();
    auto message = data->value.FindMember(L"errorMessage");
    if (message != data->value.MemberEnd() && message->value.IsString())
        progress.errorMessage.assign(message->value.GetString(), message->value.GetStringLength());
    return progress;
}

std::wstring StatusName(int status) {
    switch (status) {
        case Downloading: return L"Downloading";
        case Installing: return L"Installing";
        case Completed: return L"Completed";
        case Failed: return L"Failed";
        case Uninstalling: return L"Uninstalling";
        default: return L"status " + std::to_wstring(status);
    }
}
