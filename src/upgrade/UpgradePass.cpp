// The pass: the engine's own life (the package it holds, the system kept awake), the listing
// pass, the branch by what the listing found (nothing, the detach or the download), and the
// detach. Each run of the tool goes through the runner; what its output says, through the
// analysis.

#include "upgrade/CommandLines.h"
#include "upgrade/TarnUpgradeProcess.h"

namespace tarn::upgrade {

TarnUpgradeProcess::TarnUpgradeProcess(EngineContext& context, bool force)
    : forceUpgrade(force), context_(context), lastStillWaiting_(context.clock.now()) {}

// A pass that ends without a download lets its package go with it, and the system sleep.
TarnUpgradeProcess::~TarnUpgradeProcess() {
    releasePackage();
    if (keptAwake_) {
        context_.power.setThreadExecutionState(platform::power::kContinuous);
    }
}

void TarnUpgradeProcess::keepSystemAwake() {
    if (!keptAwake_) {
        keptAwake_ = true;
        context_.power.setThreadExecutionState(platform::power::kContinuous |
                                               platform::power::kSystemRequired);
    }
}

void TarnUpgradeProcess::noteStillWaiting() {
    const auto now = context_.clock.now();
    if (context_.stillWaiting && now - lastStillWaiting_ >= kStillWaitingInterval) {
        lastStillWaiting_ = now;
        context_.stillWaiting();
    }
}

// initDfuDevList: prepare the package, then list the attached devices.
namespace {

using eventlog::EventType;

constexpr std::int32_t kListingPause = 3000; // logged only: the listing never runs in DFU mode

} // namespace

std::int32_t TarnUpgradeProcess::initDfuDevList() {
    auto& log = context_.log;
    const std::wstring directory = kServiceDirectory;
    if (initUpgradeInfo(directory) < 0) {
        log.reportEvent(EventType::Information, L"initUpgradeInfo Failed %s!", directory);
        return kOutcomeNoPackage;
    }

    std::wstring cmdLine = listingCommandLine();
    auto pipe = context_.processes.createPipe();
    if (!pipe) {
        log.reportEvent(EventType::Information, L"CreatePipe Failed!");
        return kOutcomeGeneralFailure;
    }
    if (doCmd(cmdLine, pipe->write, kListingPause) < 0) {
        return kOutcomeGeneralFailure;
    }
    // Our copy of the write end must go before reading: the read ends only when every
    // write end is closed.
    pipe->write.reset();
    handlePipeInfo(std::move(pipe->read), kOutputListing);
    return kOutcomeListed;
}

// doUpgrade: nothing, a detach, or the download, by what the listing found.
namespace {

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

// doDevDetach: tell a device in runtime mode to re-enumerate in DFU mode.
namespace {

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
