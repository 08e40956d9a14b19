// The worker thread: one upgrade pass per queued arrival, oldest first.
#include "service/ServiceHost.h"

namespace tarn::service {
using eventlog::EventType;

// Each present interface of the class the service registers for goes through the arrival
// filter, so that a Tarn attached all along is queued as if it had just arrived. At start only
// the Tarns in DFU mode are: one there has no working firmware (a download cut short by a
// power loss, a shutdown or a stop) and will arrive no more.
void lookForAttachedTarns(UpgradeService& service, bool dfuModeOnly) {
    auto& host = service.host();
    host.log.reportEvent(EventType::Information, dfuModeOnly
                                                     ? L"look for attached Tarns in DFU mode."
                                                     : L"look for attached devices.");
    const auto names = host.runtime.presentDeviceInterfaces(kInterfaceClass);
    if (!names) {
        host.log.reportEvent(EventType::Error,
                             L"look for attached devices failed, GetLastErrorCode: %u",
                             host.runtime.lastError());
        return;
    }
    int queued = 0;
    for (const auto& name : *names) {
        queued += filterArrival(kInterfaceClass, name, service, dfuModeOnly) == 0 ? 1 : 0;
    }
    if (queued == 0) {
        host.log.reportEvent(EventType::Information, dfuModeOnly
                                                         ? L"no attached Tarn in DFU mode found."
                                                         : L"no attached Tarn found.");
    }
}

namespace {

// One upgrade pass, from a fresh engine: the pass ends with it.
void runPass(UpgradeService& service, const UpdateParameter& event) {
    auto& log = service.host().log;
    const auto waiting = static_cast<std::uint32_t>(service.queueSize());
    log.reportEvent(EventType::Warning, L"TarnUpgradeProcess processing event.... queue size %u",
                    waiting);
    {
        upgrade::TarnUpgradeProcess engine(service.host().engine, event.force);
        const std::int32_t listed = engine.initDfuDevList();
        const std::int32_t outcome =
            listed == upgrade::kOutcomeListed ? engine.doUpgrade() : listed;
        // Before the pass's last message: a stop that follows it ends the process at once.
        recordPass(service.host(), engine, outcome);
        if (listed != upgrade::kOutcomeListed) {
            log.reportEvent(EventType::Warning, L"TarnUpgradeProcess.initDfuDevList failed!");
        } else {
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
}

} // namespace

void handleNextArrival(UpgradeService& service) {
    auto event = service.popArrival();
    if (!event) {
        lookForAttachedTarns(service, false);
    } else {
        runPass(service, *event);
    }
    event.reset();
    if (service.endPass()) {
        service.host().log.reportEvent(EventType::Information,
                                       L"pass ended, service stops for shutdown.");
        onStop(service, true);
    }
}

std::uint32_t upgradeWorker(void* parameter) {
    auto& service = platform::ServiceRuntime::registered<UpgradeService>(parameter);
    service.host().log.reportEvent(EventType::Warning,
                                   L"TarnUpgradeProcess start event processing");
    // The worker starts once the service hears arrivals: nothing that arrives from now on is
    // missed, and what this look queues goes behind whatever already came.
    lookForAttachedTarns(service, true);
    for (;;) {
        handleNextArrival(service);
    }
}

} // namespace tarn::service
