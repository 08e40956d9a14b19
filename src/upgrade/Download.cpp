// doUpgrade: nothing, a detach, or the download, by what the listing found.
#include "upgrade/CommandLines.h"
#include "upgrade/TarnUpgradeProcess.h"

namespace tarn::upgrade {
namespace {

using eventlog::EventType;
using std::chrono::milliseconds;

constexpr std::int32_t kDownloadPause = 200000;
constexpr milliseconds kAfterDetach{3000};

} // namespace

std::int32_t TarnUpgradeProcess::doUpgrade() {
    auto& log = context_.log;
    if (updev.mode == kModeNone) {
        if (retry) {
            log.reportEvent(EventType::Error, L"Cannot init the device. Upgrade failed!");
            return kOutcomeGeneralFailure;
        }
        log.reportEvent(EventType::Information, L"updev.mode is  %d retry is %d", updev.mode,
                        retry);
        retry = true;
        // One more listing; what it finds waits for the device's next arrival.
        initDfuDevList();
        return kOutcomeGeneralFailure;
    }
    if (!upgradeNeeded) {
        log.reportEvent(EventType::Information, L"return for latest build!");
        return kOutcomeNoUpgradeNeeded;
    }
    log.reportEvent(EventType::Information, L"starting doUpgrade ");
    context_.out.write(updev.version + L" \n");
    context_.out.flush();

    auto pipe = context_.processes.createPipe();
    if (!pipe) {
        context_.out.write(std::string_view("CreatePipe Failed!"));
        return kOutcomeGeneralFailure;
    }
    if (updev.mode == kModeRuntime) {
        keepSystemAwake();
        doDevDetach(updev);
        pipe.reset();
        updev.mode = kModeDfu;
        context_.clock.sleep(kAfterDetach);
        return kOutcomeDetached;
    }

    std::wstring cmdLine = downloadCommandLine(updev.sn, kServiceDirectory + packageName);
    log.reportEvent(EventType::Information, L"cmdline is %s", cmdLine);
    keepSystemAwake();
    if (doCmd(cmdLine, pipe->write, kDownloadPause, &pipe->read) < 0) {
        return kOutcomeDownloadFailed;
    }
    pipe->write.reset();
    handlePipeInfo(std::move(pipe->read), kOutputDownload);
    // dfu-util has read what it flashed: the package may be replaced now.
    releasePackage();
    log.reportEvent(EventType::Information, L"TarnUpdateResult is %d", TarnUpdateResult);
    return TarnUpdateResult;
}

} // namespace tarn::upgrade
