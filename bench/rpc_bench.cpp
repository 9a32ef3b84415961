// UpdateRpc round trips against the echoing test server in another process:
// a query (a JSON reply comes back) and an empty call ("no-reply": the same
// runtime path without a reply), from 1 client and from 64 concurrent clients.
// The ns/op of the 64-client figures is wall time per call, i.e. 1/throughput;
// RpcSummary measures the throughputs and the query/empty ratio on its own.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_harness.h"
#include "update_instruction.h"
#include "update_rpc_client.h"

namespace {

const wchar_t kEndpoint[] = L"kx-bench-rpc";
const wchar_t kEmptyCall[] = L"no-reply";

// The test server, started once and stopped when the benchmarks end.
class BenchServer {
public:
    BenchServer() {
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring folder(exe);
        folder.resize(folder.find_last_of(L'\\'));
        std::wstring line = L"\"" + folder + L"\\..\\tests\\rpc_test_server.exe\" " + kEndpoint;
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE read = nullptr;
        CreatePipe(&read, &input, &inherit, 0);
        SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = read;
        startup.hStdOutput = CreateFileW(L"NUL", GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
        startup.hStdError = startup.hStdOutput;
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
            process = info.hProcess;
            CloseHandle(info.hThread);
        }
        CloseHandle(read);
        CloseHandle(startup.hStdOutput);
        UpdateRpcClient probe(kEndpoint);
        for (int i = 0; i < 200 && probe.Call(kEmptyCall).status != 0; ++i) Sleep(50);
    }
    ~BenchServer() {
        DWORD written = 0;
        WriteFile(input, "stop\n", 5, &written, nullptr);
        CloseHandle(input);
        if (process) {
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }

private:
    HANDLE input = nullptr;
    HANDLE process = nullptr;
};

void EnsureServer() { static BenchServer server; }

struct Totals {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> ticks{0};
    std::atomic<uint64_t> failures{0};
};

uint64_t Now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<uint64_t>(counter.QuadPart);
}

// 64 client threads, each with its own binding, kept for the whole run.
class ClientPool {
public:
    static constexpr int kClients = 64;
    ClientPool() {
        for (int i = 0; i < kClients; ++i) threads.emplace_back([this] { Work(); });
    }
    void Run(const std::wstring& request, uint64_t calls, Totals& totals) {
        const uint64_t start = Now();
        {
            std::unique_lock<std::mutex> lock(mutex);
            current = request;
            remaining = calls;
            pending = calls;
            ++generation;
        }
        changed.notify_all();
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return pending == 0; });
        totals.calls += calls;
        totals.ticks += Now() - start;
        totals.failures += failures.exchange(0);
    }

private:
    void Work() {
        UpdateRpcClient client(kEndpoint);
        for (;;) {
            std::wstring request;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return remaining > 0; });
                --remaining;
                request = current;
            }
            if (client.Call(request).status != 0) ++failures;
            std::lock_guard<std::mutex> lock(mutex);
            if (--pending == 0) done.notify_all();
        }
    }

    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable changed, done;
    std::wstring current;
    uint64_t remaining = 0, pending = 0, generation = 0;
    std::atomic<uint64_t> failures{0};
};

ClientPool& Pool() {
    // Never destroyed: its threads block in the runtime until the process ends.
    static ClientPool* pool = new ClientPool;
    return *pool;
}

void OneClient(const std::wstring& request, uint64_t iterations) {
    EnsureServer();
    static UpdateRpcClient client(kEndpoint);
    for (uint64_t i = 0; i < iterations; ++i) DoNotOptimise(client.Call(request).status);
}

double CallsPerSecond(const Totals& totals) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return totals.ticks ? static_cast<double>(totals.calls) * static_cast<double>(frequency.QuadPart) /
                              static_cast<double>(totals.ticks)
                        : 0.0;
}

}  // namespace

KX_BENCHMARK(RpcQueryLatency1Client) { OneClient(QueryInstruction(), iterations); }

KX_BENCHMARK(RpcEmptyCallLatency1Client) { OneClient(kEmptyCall, iterations); }

// A one-character echo: a reply as small as can be, to set against the empty call.
KX_BENCHMARK(RpcTinyEchoLatency1Client) { OneClient(L"x", iterations); }

KX_BENCHMARK(RpcQuery64Clients) {
    EnsureServer();
    Totals totals;
    Pool().Run(QueryInstruction(), iterations, totals);
}

KX_BENCHMARK(RpcEmptyCall64Clients) {
    EnsureServer();
    Totals totals;
    Pool().Run(kEmptyCall, iterations, totals);
}

// Its own measurement, printed once: three alternating rounds of 6400 calls
// per kind through the 64 clients; the median round counts.
KX_MEASUREMENT(RpcSummary) {
    EnsureServer();
    std::vector<double> query, empty;
    uint64_t failures = 0;
    for (int round = 0; round < 3; ++round) {
        Totals q, e;
        Pool().Run(QueryInstruction(), 6400, q);
        Pool().Run(kEmptyCall, 6400, e);
        query.push_back(CallsPerSecond(q));
        empty.push_back(CallsPerSecond(e));
        failures += q.failures + e.failures;
    }
    std::sort(query.begin(), query.end());
    std::sort(empty.begin(), empty.end());
    Bench::Report("RpcQuery64Clients throughput", query[1], "calls/s");
    Bench::Report("RpcEmptyCall64Clients throughput", empty[1], "calls/s");
    Bench::Report("RpcQuery/EmptyCall throughput ratio", empty[1] > 0 ? query[1] / empty[1] : 0.0, "x");
    Bench::Report("Rpc64Clients failed calls", static_cast<double>(failures), "calls");
}
