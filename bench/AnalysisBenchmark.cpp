// The output analysis on large listings, and the cost of one event-log report.
#include "NullSinks.h"
#include "eventlog/EventLogReporter.h"
#include "fakes/FakeEventLog.h"
#include "fakes/FakePlatform.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <benchmark/benchmark.h>
#include <string>

namespace tarn {
namespace {

using bench::NullEventLog;
using bench::NullOutput;

// A listing of about `bytes` characters: the banner, then device lines of other devices and,
// every hundredth line, one of the Tarn.
std::wstring listing(std::size_t bytes) {
    std::wstring text = L"dfu-util 0.11\n\nCopyright 2010-2021\n\n";
    const std::wstring other = L"Found DFU: [0483:df11] ver=0200, devnum=3, cfg=1, intf=0, "
                               L"path=\"1-2\", alt=1, name=\"@Option Bytes\", serial=\"X\"\n";
    const std::wstring tarn = L"Found Runtime: [7c3e:5710] ver=0102, devnum=4, cfg=1, intf=0, "
                              L"path=\"1-1\", alt=0, name=\"UNKNOWN\", serial=\"SN0001\"\n";
    for (int i = 0; text.size() < bytes; ++i) {
        text += i % 100 == 99 ? tarn : other;
    }
    return text;
}

void BM_AnalyseListing(benchmark::State& state) {
    NullEventLog null;
    eventlog::EventLogReporter log(null, L"TarnUpgradeProcess", 21);
    NullOutput out;
    fakes::FakeClock clock;
    fakes::FakeProcesses processes(clock);
    fakes::FakeFileSystem files;
    upgrade::EngineContext context{log, out, processes, files, clock};
    const std::wstring text = listing(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        // The runner hands its output over by moving it; copying 40 MB here would measure
        // page faults, not the analysis.
        state.PauseTiming();
        std::wstring output = text;
        state.ResumeTiming();
        upgrade::TarnUpgradeProcess engine(context, false);
        engine.targetVersion = L"0103";
        engine.analyseBuffer(std::move(output), upgrade::kOutputListing);
        benchmark::DoNotOptimize(engine.updev.mode);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size() * sizeof(wchar_t)));
}
BENCHMARK(BM_AnalyseListing)
    ->Arg(1 << 20)
    ->Arg(2 << 20)
    ->Arg(4 << 20)
    ->Arg(10 << 20)
    ->Unit(benchmark::kMillisecond);

void BM_ReportEvent(benchmark::State& state) {
    NullEventLog null;
    eventlog::EventLogReporter log(null, L"TarnUpgradeProcess", 21);
    const std::wstring line = L"Found Runtime: [7c3e:5710] ver=0102, devnum=4, cfg=1, intf=0, "
                              L"path=\"1-1\", alt=0, name=\"UNKNOWN\", serial=\"SN0001\"";
    for (auto _ : state) {
        log.reportEvent(eventlog::EventType::Information, L"analyseBuffer strTmp= %s", line);
    }
}
BENCHMARK(BM_ReportEvent);

void BM_ReportGuid(benchmark::State& state) {
    NullEventLog null;
    eventlog::EventLogReporter log(null, L"VantorTarnWindowsUpdateService", 1);
    for (auto _ : state) {
        log.reportEvent(
            eventlog::EventType::Information,
            L"Guid = {%08lX-%04hX-%04hX-%02hhX%02hhX-%02hhX%02hhX%02hhX%02hhX%02hhX%02hhX}",
            0x5E1B9C3Au, 0x7F24u, 0x4D6Bu, 0xA1u, 0xC8u, 0x93u, 0xE0u, 0xF2u, 0xB4u, 0x7Du, 0x15u);
    }
}
BENCHMARK(BM_ReportGuid);

} // namespace
} // namespace tarn
