#pragma once
// A small timing harness: each benchmark is a loop body run for a calibrated
// number of iterations; the figure printed is the median nanoseconds per
// iteration over five runs, timed with the performance counter.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Bench {

using Body = std::function<void(uint64_t iterations)>;

struct Registration {
    Registration(const char* name, Body body);
};

// A measurement that runs once and reports its own figures.
struct MeasurementRegistration {
    MeasurementRegistration(const char* name, std::function<void()> body);
};

// Benchmarks that are not per-iteration loops (idle CPU, memory) report their
// own figures through this.
void Report(const std::string& name, double value, const char* unit);

// Seconds on the performance counter, for measurements that time themselves.
double Now();
// The median of a non-empty list (the upper one of an even count).
double Median(std::vector<double> values);

int RunAll(const std::wstring& filter);

}  // namespace Bench

#define KX_BENCHMARK(name) \
    static void Benchmark_##name(uint64_t iterations); \
    [[maybe_unused]] static const Bench::Registration name##_registration(#name, Benchmark_##name); \
    static void Benchmark_##name(uint64_t iterations)

#define KX_MEASUREMENT(name) \
    static void Measurement_##name(); \
    [[maybe_unused]] static const Bench::MeasurementRegistration name##_measurement(#name, Measurement_##name); \
    static void Measurement_##name()

// Keeps the optimiser from removing a computed value.
template <typename T>
inline void DoNotOptimise(const T& value) {
    asm volatile("" : : "r,m"(value) : "memory");
}
