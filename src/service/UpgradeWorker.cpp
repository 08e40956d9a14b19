// The worker thread: one upgrade pass per queued arrival, oldest first.
#include "service/ServiceHost.h"

namespace tarn::service {
namespace {

using eventlog::EventType;

} // namespace

void handleNextArrival(UpgradeService& service) {
    auto& log = service.host().log;
    auto event = service.popArrival();
    const auto waiting = static_cast<std::uint32_t>(service.queueSize());
    log.reportEvent(EventType::Warning, L"TarnUpgradeProcess processing event.... queue size %u",
                    waiting);
    {
        upgrade::TarnUpgradeProcess engine(service.host().engine, event->force);
        if (engine.initDfuDevList() != upgrade::kOutcomeListed) {
            log.reportEvent(EventType::Warning, L"TarnUpgradeProcess.initDfuDevList failed!");
        } else {
            const std::int32_t outcome = engine.doUpgrade();
            if (outcome == upgrade::kOutcomeDownloadFailed) {
                log.reportEvent(EventType::Warning, L"TarnUpgradeProcess.doUpgrade failed!");
            } else {
                if (outcome != upgrade::kOutcomeDetached) {
                    log.reportEvent(EventType::Warning, L"arrival device handled completely.");
                    log.reportEvent(EventType::Warning, L"Keep service running.");
                }
                log.reportEvent(EventType::Warning,
                                L"TarnUpgradeProcess.initDfuDevList processing event.... done");
            }
        }
    }
    event.reset();
}

std::uint32_t upgradeWorker(void* parameter) {
    auto& service = *static_cast<UpgradeService*>(parameter);
    service.host().log.reportEvent(EventType::Warning,
                                   L"TarnUpgradeProcess start event processing");
    for (;;) {
        handleNextArrival(service);
    }
}

} // namespace tarn::service
