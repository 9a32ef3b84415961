#include <string>

#include "base/file_info.h"
#include "bench_harness.h"

KX_BENCHMARK(JoinPath) {
    const std::wstring folder = L"C:\\ProgramData\\\\Veltrastone\\Client\\";
    for (uint64_t i = 0; i < iterations; ++i) DoNotOptimise(JoinPath(folder, L"\\Updates\\setup.msi"));
}

KX_BENCHMARK(SplitPath) {
    const std::wstring path = L"C:\\Program Files\\\\Veltrastone\\Client\\bin\\kxvc.dll";
    for (uint64_t i = 0; i < iterations; ++i) DoNotOptimise(SplitPath(path));
}
