#include <cwchar>

#include "bench_harness.h"

// kxbench [name-substring]
int wmain(int argc, wchar_t** argv) { return Bench::RunAll(argc > 1 ? argv[1] : L""); }
