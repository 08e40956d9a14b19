// One whole download pass with the simulator on the stand-in, against the simulator's own runs
// of the same two command lines: the difference is the service's own cost.
#include "IntegrationSupport.h"
#include "NullSinks.h"
#include "fakes/FakeEventLog.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <benchmark/benchmark.h>
#include <cstdlib>

namespace tarn {
namespace {

using bench::NullEventLog;

// The fixed waits (200 s before the download is read, 100 ms after each read) shrink to
// nothing; the clock reads the factor once, before the first pass.
const bool kScaled = [] {
    setenv("TARN_SLEEP_SCALE", "0.000001", 1);
    return true;
}();

struct Stage {
    integration::SimulatorSysRoot sysroot;
    Stage() {
        sysroot.installSimulator();
        sysroot.makePackage("fw-0103.dfu", "0103");
        sysroot.sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    }
    void reset() { sysroot.sim({"set", "SN0001", "mode=dfu", "version=0102"}); }
};

void BM_WholeDownloadPass(benchmark::State& state) {
    benchmark::DoNotOptimize(kScaled);
    Stage stage;
    NullEventLog null;
    eventlog::EventLogReporter log(null, L"TarnUpgradeProcess", 21);
    fakes::RecordingOutput out;
    upgrade::EngineContext context{log, out, platform::systemProcesses(),
                                   platform::systemFileSystem(), platform::systemClock()};
    for (auto _ : state) {
        state.PauseTiming();
        stage.reset();
        state.ResumeTiming();
        upgrade::TarnUpgradeProcess engine(context, false);
        engine.initDfuDevList();
        if (engine.doUpgrade() != upgrade::kOutcomeWritten) {
            state.SkipWithError("the download did not succeed");
            break;
        }
    }
}
BENCHMARK(BM_WholeDownloadPass)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SimulatorRunsAlone(benchmark::State& state) {
    Stage stage;
    const std::string tool = (stage.sysroot.services() / "dfu-util.exe").string();
    const std::string package = (stage.sysroot.services() / "fw-0103.dfu").string();
    for (auto _ : state) {
        state.PauseTiming();
        stage.reset();
        state.ResumeTiming();
        integration::run({tool, "-l"});
        integration::run({tool, "-d", "7c3e:5710,7c3e:5711", "-S", "SN0001", "-D", package});
    }
}
BENCHMARK(BM_SimulatorRunsAlone)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace tarn
