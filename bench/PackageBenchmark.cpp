// Package discovery on the stand-in with real files, each candidate read whole for its check,
// and the CRC that the check computes.
#include "IntegrationSupport.h"
#include "NullSinks.h"
#include "upgrade/DfuSuffix.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

namespace tarn {
namespace {

namespace fs = std::filesystem;

void BM_DfuCrc(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes(static_cast<std::size_t>(state.range(0)), 0xA5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(upgrade::dfuCrc(bytes));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DfuCrc)->Arg(1 << 20);

// Three candidates of the given size; each pass deletes one, which is put back between passes.
void BM_PackageDiscovery(benchmark::State& state) {
    integration::SimulatorSysRoot sysroot;
    sysroot.installSimulator();
    std::map<fs::path, std::string> packages;
    for (const char* version : {"0101", "0102", "0103"}) {
        const fs::path path = sysroot.services() / ("fw-" + std::string(version) + ".dfu");
        sysroot.sim({"make-package", path.string(), "--version", version, "--size",
                     std::to_string(state.range(0))});
        std::ifstream in(path, std::ios::binary);
        packages[path].assign(std::istreambuf_iterator<char>(in), {});
    }
    bench::NullEventLog null;
    eventlog::EventLogReporter log(null, L"TarnUpgradeProcess", 21);
    bench::NullOutput out;
    upgrade::EngineContext context{log, out, platform::systemProcesses(),
                                   platform::systemFileSystem(), platform::systemClock()};
    for (auto _ : state) {
        {
            upgrade::TarnUpgradeProcess engine(context, false);
            if (engine.initUpgradeInfo(upgrade::kServiceDirectory) != 1) {
                state.SkipWithError("no package chosen");
                break;
            }
        }
        state.PauseTiming();
        for (const auto& [path, bytes] : packages) {
            if (!fs::exists(path)) {
                std::ofstream(path, std::ios::binary) << bytes;
            }
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_PackageDiscovery)->Arg(1 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tarn
