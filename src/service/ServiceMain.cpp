// Service main and the control handler.
#include "service/ServiceHost.h"

#include <atomic>

namespace tarn::service {
namespace {

using eventlog::EventType;

constexpr std::uint32_t kServiceWin32 = 0x30; // own-process and share-process bits, as reported
using platform::scm::kStateRunning;
using platform::scm::kStateStartPending;
using platform::scm::kStateStopped;
using platform::scm::kStateStopPending;
constexpr std::uint32_t kAcceptStopAndPreshutdown = 0x101;

using platform::scm::kControlStop;
constexpr std::uint32_t kControlPause = 2;
constexpr std::uint32_t kControlContinue = 3;
constexpr std::uint32_t kControlInterrogate = 4;
using platform::scm::kControlDeviceEvent;
constexpr std::uint32_t kControlPreshutdown = 15;

using platform::kDeviceArrival;
using platform::kDeviceRemoveComplete;

std::atomic<HostContext*> gHost{nullptr};

void reportState(UpgradeService& service, std::uint32_t state) {
    service.serviceStatus.currentState = state;
    service.host().runtime.setServiceStatus(service.statusHandle, service.serviceStatus);
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
    } else {
        host.log.reportEvent(EventType::Error, L"initialize service failed.");
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
        return 1;
    }
    {
        std::lock_guard lock(service.notificationMutex);
        service.notificationHandle = std::move(notification);
    }
    host.runtime.createThread(upgradeWorker, &service, service.workerThreadId);
    return 0;
}

std::uint32_t controlHandler(std::uint32_t control, std::uint32_t eventType, void* eventData,
                             void* context) {
    auto& service = *static_cast<UpgradeService*>(context);
    auto& log = service.host().log;
    switch (control) {
    case kControlStop:
        log.reportEvent(EventType::Information, L"control code: SERVICE_CONTROL_STOP.");
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
        log.reportEvent(EventType::Information,
                        L"control code: SERVICE_CONTROL_PRSHUTDOWN - do nothing");
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

void onStop(UpgradeService& service) {
    auto& log = service.host().log;
    log.reportEvent(EventType::Information, L"enter onStop function.");
    reportState(service, kStateStopPending);
    {
        std::lock_guard lock(service.notificationMutex);
        if (service.notificationHandle) {
            log.reportEvent(EventType::Information, L"unregister device notification.");
            service.notificationHandle->unregister();
        }
    }
    // The worker is not told: it ends with the process, wherever it is.
    reportState(service, kStateStopped);
    log.reportEvent(EventType::Information, L"service control stop success.");
}

} // namespace tarn::service
