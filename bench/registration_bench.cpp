// Registration figures on a simulated installation in the current prefix:
// how long after a change the Citrix channel key is written again (with the
// production settling pause of 5 s), and what one pass costs when there is
// nothing to repair.
#include <windows.h>

#include <algorithm>
#include <memory>

#include "base/registry_key.h"
#include "bench_harness.h"
#include "registration/amazon_client_registration.h"
#include "registration/citrix_client_registration.h"
#include "tests/registration/registration_fixture.h"

namespace {

Fixture::Installation& Installed() {
    static Fixture::Installation installation;
    static const bool ready = [] {
        installation.InstallAll();
        return true;
    }();
    (void)ready;
    return installation;
}

template <typename Monitor>
Base::Ref<Monitor> MachineMonitor() {
    return Base::MakeRef<Monitor>(RegistryKey::Root(HKEY_LOCAL_MACHINE));
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// From deleting the channel key to seeing it complete again, polled every ms.
double MeasureRepair(Fixture::Installation& fixture) {
    const auto monitor = MachineMonitor<Citrix::ClientRegistrationWin32>();
    monitor->Check();
    monitor->StartMonitoring();
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    Fixture::DeleteKey(Fixture::kView32, Fixture::kChannelKey);
    const bool repaired = Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }, 30000);
    QueryPerformanceCounter(&end);
    monitor->StopMonitoring();
    return repaired ? Seconds(start, end) : -1.0;
}

}  // namespace

// Measured twice: each run lasts the whole settling pause.
KX_MEASUREMENT(CitrixRepairLatency) {
    auto& fixture = Installed();
    const double first = MeasureRepair(fixture);
    const double second = MeasureRepair(fixture);
    Bench::Report("CitrixRepairLatency first (goal <= 5.5)", first, "s");
    Bench::Report("CitrixRepairLatency second (goal <= 5.5)", second, "s");
}

KX_BENCHMARK(CitrixCheckAllCorrect) {
    Installed();
    static const auto monitor = [] {
        auto created = MachineMonitor<Citrix::ClientRegistrationWin32>();
        created->Check();
        return created;
    }();
    for (uint64_t i = 0; i < iterations; ++i) monitor->Check();
}

KX_BENCHMARK(AmazonCheckAllCorrect) {
    Installed();
    static const auto monitor = [] {
        auto created = MachineMonitor<Amazon::ClientRegistrationWin32>();
        created->Check();
        return created;
    }();
    for (uint64_t i = 0; i < iterations; ++i) monitor->Check();
}
