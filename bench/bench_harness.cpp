#include "bench_harness.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace Bench {
namespace {

struct Entry {
    std::string name;
    Body body;
};

struct Measurement {
    std::string name;
    std::function<void()> body;
};

std::vector<Measurement>& Measurements() {
    static std::vector<Measurement> measurements;
    return measurements;
}

bool Selected(const std::string& name, const std::wstring& filter) {
    return filter.empty() || std::wstring(name.begin(), name.end()).find(filter) != std::wstring::npos;
}

std::vector<Entry>& Entries() {
    static std::vector<Entry> entries;
    return entries;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double TimeRun(const Body& body, uint64_t iterations) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    body(iterations);
    QueryPerformanceCounter(&end);
    return Seconds(start, end);
}

}  // namespace

Registration::Registration(const char* name, Body body) { Entries().push_back({name, std::move(body)}); }

MeasurementRegistration::MeasurementRegistration(const char* name, std::function<void()> body) {
    Measurements().push_back({name, std::move(body)});
}

void Report(const std::string& name, double value, const char* unit) {
    printf("%-44s %14.3f %s\n", name.c_str(), value, unit);
    fflush(stdout);
}

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int RunAll(const std::wstring& filter) {
    for (const Entry& entry : Entries()) {
        if (!Selected(entry.name, filter)) continue;
        // Grow the loop until one run takes at least 0.1 s.
        uint64_t iterations = 1;
        while (TimeRun(entry.body, iterations) < 0.1 && iterations < (1ull << 34)) iterations *= 4;
        std::vector<double> perIteration;
        for (int run = 0; run < 5; ++run) {
            perIteration.push_back(TimeRun(entry.body, iterations) * 1e9 / static_cast<double>(iterations));
        }
        std::sort(perIteration.begin(), perIteration.end());
        Report(entry.name, perIteration[2], "ns/op");
    }
    for (const Measurement& measurement : Measurements()) {
        if (Selected(measurement.name, filter)) measurement.body();
    }
    return 0;
}

}  // namespace Bench
