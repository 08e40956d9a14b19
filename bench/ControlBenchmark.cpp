// The control handler's latency for an arrival while a download pass is running.
#include "NullSinks.h"
#include "fakes/EngineFixture.h"
#include "fakes/FakeService.h"
#include "fakes/PassGate.h"
#include "service/ServiceHost.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <thread>

namespace tarn {
namespace {

using bench::NullEventLog;

void BM_ArrivalDuringADownload(benchmark::State& state) {
    NullEventLog null;
    eventlog::EventLogReporter engineLog(null, L"TarnUpgradeProcess", 21);
    eventlog::EventLogReporter serviceLog(null, L"VantorTarnWindowsUpdateService", 1);
    fakes::RecordingOutput out;
    fakes::FakeClock clock;
    fakes::FakeProcesses processes(clock);
    fakes::FakeFileSystem files;
    files.add(fakes::kDir + L"fw.dfu", fakes::packageWithRelease(0x0103), 1);
    upgrade::EngineContext engine{engineLog, out, processes, files, clock};
    fakes::FakeServiceManager manager;
    fakes::FakeServiceRuntime runtime;
    service::HostContext host{serviceLog, manager, runtime, engine};
    service::setHostContext(&host);
    service::serviceMain(0, nullptr);
    auto& running = *static_cast<service::UpgradeService*>(runtime.context);

    // The worker's pass holds in the tool's start until the measurement is over.
    fakes::PassGate gate(processes);
    running.pushArrival({running.deviceName, false, service::kInterfaceClass, &running});
    std::thread worker([&] { service::handleNextArrival(running); });
    gate.waitUntilHeld();

    auto record = fakes::deviceRecord(
        L"\\\\?\\USB#VID_7C3E&PID_5711#SN0001#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}",
        service::kInterfaceClass);
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        runtime.handler(11, 0x8000, record.data(), runtime.context);
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["max_us"] = micros.back();

    gate.release();
    worker.join();
    service::setHostContext(nullptr);
}
BENCHMARK(BM_ArrivalDuringADownload)->Iterations(100000)->UseRealTime();

} // namespace
} // namespace tarn
