// Service main and the control handler.
#include "service/ServiceHost.h"

#include <atomic>

namespace tarn::service {
namespace {

using eventlog::EventType;

using platform::scm::kServiceWin32; // own-process and share-process bits, as reported
using platform::scm::kStateRunning;
using platform::scm::kStateStartPending;
using platform::scm::kStateStopped;
using platform::scm::kStateStopPending;
constexpr std::uint32_t kAcceptStopAndPreshutdown =
    platform::scm::kAcceptStop | platform::scm::kAcceptPreshutdown;

using platform::scm::kControlContinue;
using platform::scm::kControlDeviceEvent;
using platform::scm::kControlInterrogate;
using platform::scm::kControlPause;
using platform::scm::kControlPreshutdown;
using platform::scm::kControlStop;

using platform::kDeviceArrival;
using platform::kDeviceRemoveComplete;

std::atomic<HostContext*> gHost{nullptr};

// A stop that waits for a pass says within this time that it is still coming: the engine
// calls back at least every few seconds while the pass waits (kStillWaitingInterval).
constexpr std::uint32_t kStopWaitHintMs = 30000;
// The service-specific exit codes of a start that fails, reported with the stop so that the
// failure actions restart the service.
constexpr std::uint32_t kExitNoArrivals = 1;
constexpr std::uint32_t kExitNoWorker = 2;
using platform::scm::kErrorServiceSpecific;

void reportLocked(UpgradeService& service) {
    service.host().runtime.setServiceStatus(service.statusHandle, service.serviceStatus);
}

void reportState(UpgradeService& service, std::uint32_t state) {
    std::lock_guard lock(service.statusMutex);
    service.serviceStatus.currentState = state;
    if (state == kStateStopped) {
        service.serviceStatus.checkPoint = 0;
        service.serviceStatus.waitHint = 0;
    }
    reportLocked(service);
}

// Pre-shutdown during a pass: stop-pending until the pass ends, then stopped. Under the status
// lock, so that a pass ending meanwhile reports its stop after this report. False when idle.
bool stopAfterPass(UpgradeService& service) {
    std::lock_guard lock(service.statusMutex);
    if (!service.beginStop(true)) {
        return false;
    }
    auto& status = service.serviceStatus;
    status.currentState = kStateStopPending;
    status.checkPoint = 1;
    status.waitHint = kStopWaitHintMs;
    reportLocked(service);
    return true;
}

// Called by the engine while a pass waits: a stop that waits for it is still coming.
void reportStopStillComing(UpgradeService& service) {
    std::lock_guard lock(service.statusMutex);
    auto& status = service.serviceStatus;
    if (status.currentState == kStateStopPending && status.waitHint != 0) {
        ++status.checkPoint;
        reportLocked(service);
    }
}

int failStart(UpgradeService& service, std::uint32_t exitCode) {
    std::lock_guard lock(service.statusMutex);
    service.serviceStatus.win32ExitCode = kErrorServiceSpecific;
    service.serviceStatus.serviceSpecificExitCode = exitCode;
    return 1;
}

} // namespace

void setHostContext(HostContext* host) {
    gHost.store(host);
}

void serviceMain(std::uint32_t /*argc*/, wchar_t** /*argv*/) {
    HostContext& host = *gHost.load();
    host.log.reportEvent(EventType::Information, L"enter service main function.");
    // Lives as long as the process: the control handler and the worker hold on to it.
    auto* service = new UpgradeService(host);
    if (initializeService(*service) == 0) {
        host.log.reportEvent(EventType::Success, L"initialize service success.");
        return;
    }
    host.log.reportEvent(EventType::Error, L"initialize service failed.");
    // A service that cannot hear arrivals or run passes stops, with its reason, so that the
    // failure actions restart it. Reported last: the process may end as soon as it is.
    if (service->statusHandle != nullptr && service->serviceStatus.serviceSpecificExitCode != 0) {
        reportState(*service, kStateStopped);
    }
}

int initializeService(UpgradeService& service) {
    auto& host = service.host();
    host.log.reportEvent(EventType::Information, L"enter initialize service function.");
    service.serviceStatus = {kServiceWin32, kStateStopped, 0, 0, 0, 0, 0};
    service.statusHandle =
        host.runtime.registerServiceCtrlHandlerEx(kServiceName, controlHandler, &service);
    if (service.statusHandle == nullptr) {
        host.log.reportEvent(EventType::Error, L"register service control handler failed.");
        return 1;
    }
    host.log.reportEvent(EventType::Information, L"register service control handler success.");
    return registerStart(service);
}

int registerStart(UpgradeService& service) {
    auto& host = service.host();
    host.log.reportEvent(EventType::Information, L"enter registerStart function.");
    reportState(service, kStateStartPending);
    service.serviceStatus.controlsAccepted |= kAcceptStopAndPreshutdown;
    reportState(service, kStateRunning);

    auto notification =
        host.runtime.registerDeviceNotification(service.statusHandle, kInterfaceClass);
    if (!notification) {
        host.log.reportEvent(EventType::Error, L"register device notification failed.");
        return failStart(service, kExitNoArrivals);
    }
    {
        std::lock_guard lock(service.notificationMutex);
        service.notificationHandle = std::move(notification);
    }
    host.engine.stillWaiting = [&service] { reportStopStillComing(service); };
    if (!host.runtime.createThread(upgradeWorker, &service, service.workerThreadId)) {
        host.log.reportEvent(EventType::Error, L"create worker thread failed, GetLastErrorCode: %u",
                             host.runtime.lastError());
        std::lock_guard lock(service.notificationMutex);
        service.notificationHandle.unregister();
        return failStart(service, kExitNoWorker);
    }
    return 0;
}

std::uint32_t controlHandler(std::uint32_t control, std::uint32_t eventType, void* eventData,
                             void* context) {
    auto& service = platform::ServiceRuntime::registered<UpgradeService>(context);
    auto& log = service.host().log;
    switch (control) {
    case kControlStop:
        log.reportEvent(EventType::Information, L"control code: SERVICE_CONTROL_STOP.");
        service.beginStop(false);
        onStop(service);
        break;
    case kControlPause:
        log.reportEvent(EventType::Information, L"control code: SERVICE_CONTROL_PAUSE.");
        break;
    case kControlContinue:
        log.reportEvent(EventType::Information, L"control code: SERVICE_CONTROL_CONTINUE.");
        break;
    case kControlInterrogate:
        log.reportEvent(EventType::Information, L"control code: SERVICE_CONTROL_INTERROGATE.");
        break;
    case kControlDeviceEvent:
        log.reportEvent(EventType::Information, L"control code: SERVICE_CONTROL_DEVICEEVENT.");
        log.reportEvent(EventType::Information, L"dwEventType: %d",
                        static_cast<std::int32_t>(eventType));
        if (eventType == kDeviceArrival) {
            onDeviceArrival(eventData, service);
        } else if (eventType == kDeviceRemoveComplete) {
            log.reportEvent(EventType::Information, L"device remove");
        } else {
            log.reportEvent(EventType::Information, L"device event others");
        }
        break;
    case kControlPreshutdown:
        // Windows waits for a service that takes this notice until it stops, up to the
        // pre-shutdown time-out: idle, it stops at once; a pass under way, which the shutdown
        // would cut, is finished first.
        if (stopAfterPass(service)) {
            log.reportEvent(EventType::Information,
                            L"control code: SERVICE_CONTROL_PRSHUTDOWN - stop after the pass in "
                            L"progress");
        } else {
            log.reportEvent(EventType::Information,
                            L"control code: SERVICE_CONTROL_PRSHUTDOWN - stop now");
            onStop(service);
        }
        break;
    case kControlUpgradeAttached:
        log.reportEvent(EventType::Information, L"control code: upgrade attached devices.");
        // The worker looks, as it runs passes: the handler never waits for either.
        service.requestAttachedLook();
        break;
    default:
        break;
    }
    return 0;
}

void onStop(UpgradeService& service, bool reportStoppedLast) {
    auto& log = service.host().log;
    log.reportEvent(EventType::Information, L"enter onStop function.");
    reportState(service, kStateStopPending);
    {
        std::lock_guard lock(service.notificationMutex);
        if (service.notificationHandle) {
            log.reportEvent(EventType::Information, L"unregister device notification.");
            service.notificationHandle.unregister();
        }
    }
    // The worker is not told: it ends with the process, wherever it is.
    if (reportStoppedLast) {
        log.reportEvent(EventType::Information, L"service control stop success.");
        reportState(service, kStateStopped);
        return;
    }
    reportState(service, kStateStopped);
    log.reportEvent(EventType::Information, L"service control stop success.");
}

} // namespace tarn::service
