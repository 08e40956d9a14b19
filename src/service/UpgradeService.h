// The service host's central object, and the arrival queue between the control handler and
// the worker.
#pragma once

#include "eventlog/EventLogReporter.h"
#include "platform/Registry.h"
#include "platform/Service.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tarn::service {

inline constexpr wchar_t kServiceName[] = L"VantorTarnWindowsUpdateService";
// A control of the service's own (128 to 255 reach the handler whatever the controls accepted):
// look for the Tarns attached now and upgrade them as if they had arrived. The package sends it.
inline constexpr std::uint32_t kControlUpgradeAttached = 128;

// The device-interface class the service registers for.
inline constexpr platform::Guid kInterfaceClass = {
    0x5E1B9C3A, 0x7F24, 0x4D6B, {0xA1, 0xC8, 0x93, 0xE0, 0xF2, 0xB4, 0x7D, 0x15}};

// The device-name buffer, terminator included.
inline constexpr std::size_t kDeviceNameSize = 260;

// What the host talks to: its event source, the system's service calls, and what every
// upgrade pass uses.
struct HostContext {
    eventlog::EventLogReporter& log;
    platform::ServiceManager& manager;
    platform::ServiceRuntime& runtime;
    upgrade::EngineContext& engine;
    // Where each pass leaves its record of the Tarns it saw, and the service's file version it
    // writes there; null where no pass runs (the package's actions).
    platform::Registry* registry = nullptr;
    std::wstring serviceVersion{};
};

class UpgradeService;

// One queued arrival.
struct UpdateParameter {
    const wchar_t* deviceName; // the service's buffer: shows whatever arrived last
    bool force;
    platform::Guid interfaceClass;
    UpgradeService* owner;
};

class UpgradeService {
public:
    explicit UpgradeService(HostContext& host) : host_(host) {}

    UpgradeService(const UpgradeService&) = delete;
    UpgradeService& operator=(const UpgradeService&) = delete;

    // Appends at the back under the mutex and wakes one waiter.
    void pushArrival(const UpdateParameter& event);
    // Queues a look for the Tarns attached now, behind the arrivals already queued. False when
    // a look still waits in the queue: this request is merged into it.
    bool requestAttachedLook();
    // Waits until something is queued, then takes the front: an arrival, or null for a look
    // for the Tarns attached now.
    std::shared_ptr<UpdateParameter> popArrival();
    std::size_t queueSize();
    // From a stop on, popArrival starts nothing more. With waitForPass, a pass that popArrival
    // has handed out and that has not ended yet keeps the stop for its end: true then.
    bool beginStop(bool waitForPass);
    // The worker is done with what popArrival handed out: true when a stop waits for that.
    bool endPass();

    HostContext& host() { return host_; }

    platform::ServiceStatus serviceStatus;
    platform::ServiceRuntime::StatusHandle statusHandle = nullptr;
    // Written on the service-main thread and read by the control handler: guarded by
    // notificationMutex, since a stop may come while the registration is being made.
    platform::DeviceNotification notificationHandle;
    wchar_t deviceName[kDeviceNameSize];
    std::uint32_t workerThreadId = 0;

    std::mutex notificationMutex;
    // serviceStatus is reported from the control handler, and at a pass's end from the worker.
    std::mutex statusMutex;
    // The arrival filter writes deviceName on the control handler's thread for an arrival and
    // on the worker's for a look at the attached Tarns.
    std::mutex deviceNameMutex;

private:
    HostContext& host_;
    std::mutex mutex_;
    std::deque<std::optional<UpdateParameter>> queue_; // empty: a look for attached Tarns
    bool lookWaiting_ = false;
    bool stopping_ = false;
    bool passRunning_ = false;
    bool stopWaitsForPass_ = false;
    std::condition_variable wakeUp_;
};

} // namespace tarn::service
