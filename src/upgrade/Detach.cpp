// doDevDetach: tell a device in runtime mode to re-enumerate in DFU mode.
#include "upgrade/CommandLines.h"
#include "upgrade/TarnUpgradeProcess.h"

namespace tarn::upgrade {
namespace {

using eventlog::EventType;
using std::chrono::milliseconds;

constexpr std::int32_t kDetachPause = 50000; // doCmd sleeps only in DFU mode: never here
constexpr milliseconds kBeforeReading{5000};

} // namespace

// Takes its own copy, as its callers are promised: nothing they hold is aliased.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
std::int32_t TarnUpgradeProcess::doDevDetach(UpgradeDevice device) {
    auto& log = context_.log;
    log.reportEvent(EventType::Information, L"enter doDevDetach ");
    auto pipe = context_.processes.createPipe();
    if (!pipe) {
        log.reportEvent(EventType::Information, L"CreatePipe Failed!");
        return kDetachNoPipe;
    }

    std::wstring cmdLine;
    if (device.mode == kModeRuntime) {
        cmdLine = detachCommandLine(device.sn, device.cfgId);
    } else if (device.mode == kModeDfu) {
        log.reportEvent(EventType::Information, L"current is DFU mode, and I will do nothing!");
        return kDetachAlreadyDfu;
    }
    // Any other mode leaves the line empty, and the start below fails.
    log.reportEvent(EventType::Information, L"cmdline is %s", cmdLine);

    if (doCmd(cmdLine, pipe->write, kDetachPause) < 0) {
        return kDetachNotStarted;
    }
    context_.clock.sleep(kBeforeReading);
    pipe->write.reset();
    handlePipeInfo(std::move(pipe->read), kOutputDetach);
    return kDetachRan;
}

} // namespace tarn::upgrade
