// kxupdate: a command-line client of the UpdateRpc interface, for diagnosis
// and tests. Exit codes: 0 done, 1 the call failed (e.g. no server listens),
// 2 bad command line or unreadable file, 3 the watched update failed;
// verify-cache: 0 every key agrees, 1 one does not.

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/test_hooks.h"
#include "utf8_text.h"
#include "update_instruction.h"
#include "update_rpc_client.h"
#include "verify_cache.h"

namespace {

const char kUsage[] =
    "usage: kxupdate COMMAND [--endpoint service|worker|NAME]\n"
    "  begin --url U [--url U2 ...] [--hash H] [--args A] [--downgrade] [--proxy P]\n"
    "        [--proxy-bypass B] [--auto-config-url U] [--no-auto-detect]\n"
    "  query               ask for the progress of the update\n"
    "  launch              start the stand-alone update worker\n"
    "  send JSON           send a raw instruction and print the raw reply\n"
    "  send --file F       the same, the instruction read from a UTF-8 file\n"
    "  watch               poll the progress every second until it completes or fails\n"
    "  verify-cache        check every \"Verify\" of the security products cache (no RPC)\n"
    "The endpoint is \"kxclient-service-rpc\" by default; worker is \"kxclient-autoupdate-rpc\".\n";

void Print(const std::wstring& text) {
    const std::string utf8 = ToNarrowUtf8(text);
    fwrite(utf8.data(), 1, utf8.size(), stdout);
    fflush(stdout);
}

int UsageError(const std::wstring& message) {
    fflush(stdout);
    fprintf(stderr, "kxupdate: %s\n%s", ToNarrowUtf8(message).c_str(), kUsage);
    return 2;
}

struct CommandLine {
    std::wstring command;
    std::wstring endpoint = kServiceRpcEndpoint;
    BeginOptions begin;
    bool beginHasUrl = false;
    std::optional<std::wstring> sendText;
    std::optional<std::wstring> sendFile;
};

// Fills line from argv; returns an error text, empty when all is well.
std::wstring Parse(int argc, wchar_t** argv, CommandLine& line) {
    if (argc < 2) return L"no command";
    line.command = argv[1];
    const bool isBegin = line.command == L"begin";
    const bool isSend = line.command == L"send";
    if (!isBegin && !isSend && line.command != L"query" && line.command != L"launch" && line.command != L"watch")
        return L"unknown command \"" + line.command + L"\"";
    for (int i = 2; i < argc; ++i) {
        const std::wstring option = argv[i];
        auto value = [&](std::wstring& target) {
            if (i + 1 >= argc) return false;
            target = argv[++i];
            return true;
        };
        std::wstring text;
        if (option == L"--endpoint") {
            if (!value(text) || text.empty()) return L"--endpoint needs a value";
            line.endpoint = text == L"service" ? kServiceRpcEndpoint : text == L"worker" ? kWorkerRpcEndpoint : text;
        } else if (isBegin && option == L"--url") {
            if (!value(text)) return L"--url needs a value";
            line.begin.urls.push_back(text);
            line.beginHasUrl = true;
        } else if (isBegin && option == L"--hash") {
            if (!value(line.begin.hash)) return L"--hash needs a value";
        } else if (isBegin && option == L"--args") {
            if (!value(line.begin.args)) return L"--args needs a value";
        } else if (isBegin && option == L"--downgrade") {
            line.begin.downgrade = true;
        } else if (isBegin && option == L"--proxy") {
            if (!value(text)) return L"--proxy needs a value";
            line.begin.proxy = text;
        } else if (isBegin && option == L"--proxy-bypass") {
            if (!value(text)) return L"--proxy-bypass needs a value";
            line.begin.proxyBypass = text;
        } else if (isBegin && option == L"--auto-config-url") {
            if (!value(text)) return L"--auto-config-url needs a value";
            line.begin.autoConfigUrl = text;
        } else if (isBegin && option == L"--no-auto-detect") {
            line.begin.autoDetect = false;
        } else if (isSend && option == L"--file") {
            if (!value(text)) return L"--file needs a value";
            line.sendFile = text;
        } else if (isSend && !line.sendText && !line.sendFile && (option.empty() || option[0] != L'-')) {
            line.sendText = option;
        } else {
            return L"unexpected argument \"" + option + L"\"";
        }
    }
    if (isBegin && !line.beginHasUrl) return L"begin needs at least one --url";
    if (isSend && (line.sendText.has_value() == line.sendFile.has_value()))
        return L"send needs either a JSON text or --file F";
    return L"";
}

int CallFailed(const CommandLine& line, unsigned long status) {
    fflush(stdout);
    std::wstring message = status == RPC_S_SERVER_UNAVAILABLE
                               ? L"kxupdate: no UpdateRpc server listens on endpoint \"" + line.endpoint + L"\": "
                               : L"kxupdate: the call on endpoint \"" + line.endpoint + L"\" failed: ";
    fprintf(stderr, "%s%s\n", ToNarrowUtf8(message).c_str(), ToNarrowUtf8(DescribeRpcStatus(status)).c_str());
    return 1;
}

// Sends one instruction, prints the raw reply or "no reply".
int SendAndPrint(const CommandLine& line, const std::wstring& request) {
    UpdateRpcClient client(line.endpoint);
    const UpdateRpcCallResult result = client.Call(request);
    if (result.status != 0) return CallFailed(line, result.status);
    Print(result.reply ? *result.reply + L"\n" : L"no reply\n");
    return 0;
}

bool ReadInstructionFile(const std::wstring& path, std::wstring& text) {
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file) return false;
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    text = ToWideUtf8(bytes);
    return true;
}

std::wstring ProgressLine(DWORD elapsedMs, const std::optional<UpdateProgress>& progress, bool replied) {
    wchar_t clock[32];
    swprintf(clock, 32, L"[%02lu:%02lu] ", elapsedMs / 60000, (elapsedMs / 1000) % 60);
    if (!replied) return clock + std::wstring(L"no update in progress");
    if (!progress) return clock + std::wstring(L"unreadable reply");
    std::wstring text = clock + StatusName(progress->status);
    if (!progress->errorMessage.empty()) text += L": " + progress->errorMessage;
    return text;
}

int Watch(const CommandLine& line) {
    const DWORD interval = TestableDuration(L"KX_KXUPDATE_WATCH_MS", 1000, 10);
    UpdateRpcClient client(line.endpoint);
    const DWORD start = GetTickCount();
    size_t shownWidth = 0;
    for (;;) {
        const UpdateRpcCallResult result = client.Call(QueryInstruction());
        if (result.status != 0) {
            if (shownWidth > 0) Print(L"\n");
            return CallFailed(line, result.status);
        }
        const auto progress = result.reply ? ParseProgress(*result.reply) : std::nullopt;
        std::wstring text = ProgressLine(GetTickCount() - start, progress, result.reply.has_value());
        const size_t width = text.size();
        if (width < shownWidth) text.append(shownWidth - width, L' ');
        shownWidth = width;
        Print(L"\r" + text);
        if (progress && (progress->status == Completed || progress->status == Failed)) {
            Print(L"\n");
            return progress->status == Completed ? 0 : 3;
        }
        Sleep(interval);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    if (argc == 2 && std::wstring(argv[1]) == L"verify-cache") return VerifyCache();
    CommandLine line;
    const std::wstring error = Parse(argc, argv, line);
    if (!error.empty()) return UsageError(error);
    if (line.command == L"begin") return SendAndPrint(line, BeginInstruction(line.begin));
    if (line.command == L"query") return SendAndPrint(line, QueryInstruction());
    if (line.command == L"launch") return SendAndPrint(line, LaunchInstruction());
    if (line.command == L"watch") return Watch(line);
    std::wstring request;
    if (line.sendFile) {
        if (!ReadInstructionFile(*line.sendFile, request)) return UsageError(L"cannot read \"" + *line.sendFile + L"\"");
    } else {
        request = *line.sendText;
    }
    return SendAndPrint(line, request);
}
