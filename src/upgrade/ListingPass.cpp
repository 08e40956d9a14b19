// initDfuDevList: prepare the package, then list the attached devices.
#include "upgrade/CommandLines.h"
#include "upgrade/TarnUpgradeProcess.h"

namespace tarn::upgrade {
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

} // namespace tarn::upgrade
