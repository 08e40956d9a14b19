// The seam to the Service Control Manager, device notifications and threads.
#pragma once

#include "platform/SeamHandle.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace tarn::platform {

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
    friend bool operator==(const Guid&, const Guid&) = default;
};

// The shape of DEV_BROADCAST_DEVICEINTERFACE_W: the name runs on past the end of the struct,
// as far as `size` says. On Windows this is the system's own layout.
struct DeviceInterfaceRecord {
    std::uint32_t size;
    std::uint32_t deviceType;
    std::uint32_t reserved;
    Guid classGuid;
    wchar_t name[1];
};
inline constexpr std::size_t kDeviceInterfaceNameOffset = offsetof(DeviceInterfaceRecord, name);
inline constexpr std::uint32_t kDeviceTypeDeviceInterface = 5; // DBT_DEVTYP_DEVICEINTERFACE
// The event types of SERVICE_CONTROL_DEVICEEVENT that the service tells apart.
inline constexpr std::uint32_t kDeviceArrival = 0x8000;        // DBT_DEVICEARRIVAL
inline constexpr std::uint32_t kDeviceRemoveComplete = 0x8004; // DBT_DEVICEREMOVECOMPLETE

// The Windows values the seam carries (winsvc.h, winnt.h), for the portable code and the stand-in
// alike; the Win32 build checks them against the system's headers.
namespace scm {
inline constexpr std::uint32_t kManagerConnect = 0x0001;       // SC_MANAGER_CONNECT
inline constexpr std::uint32_t kManagerCreateService = 0x0002; // SC_MANAGER_CREATE_SERVICE
inline constexpr std::uint32_t kManagerAllAccess = 0xF003F;    // SC_MANAGER_ALL_ACCESS
inline constexpr std::uint32_t kServiceQueryStatus = 0x0004;   // SERVICE_QUERY_STATUS
inline constexpr std::uint32_t kServiceAllAccess = 0xF01FF;    // SERVICE_ALL_ACCESS
inline constexpr std::uint32_t kDelete = 0x10000;              // DELETE
inline constexpr std::uint32_t kServiceChangeConfig = 0x0002;  // SERVICE_CHANGE_CONFIG
inline constexpr std::uint32_t kGenericAll = 0x10000000;       // GENERIC_ALL
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10; // SERVICE_WIN32_OWN_PROCESS
inline constexpr std::uint32_t kServiceWin32 = 0x30;           // SERVICE_WIN32
inline constexpr std::uint32_t kServiceAutoStart = 2;          // SERVICE_AUTO_START
inline constexpr std::uint32_t kServiceErrorNormal = 1;        // SERVICE_ERROR_NORMAL
inline constexpr std::uint32_t kStateStopped = 1;              // SERVICE_STOPPED
inline constexpr std::uint32_t kStateStartPending = 2;         // SERVICE_START_PENDING
inline constexpr std::uint32_t kStateStopPending = 3;          // SERVICE_STOP_PENDING
inline constexpr std::uint32_t kStateRunning = 4;              // SERVICE_RUNNING
inline constexpr std::uint32_t kAcceptStop = 0x1;              // SERVICE_ACCEPT_STOP
inline constexpr std::uint32_t kAcceptPreshutdown = 0x100;     // SERVICE_ACCEPT_PRESHUTDOWN
inline constexpr std::uint32_t kControlStop = 1;               // SERVICE_CONTROL_STOP
inline constexpr std::uint32_t kControlPause = 2;              // SERVICE_CONTROL_PAUSE
inline constexpr std::uint32_t kControlContinue = 3;           // SERVICE_CONTROL_CONTINUE
inline constexpr std::uint32_t kControlInterrogate = 4;        // SERVICE_CONTROL_INTERROGATE
inline constexpr std::uint32_t kControlDeviceEvent = 11;       // SERVICE_CONTROL_DEVICEEVENT
inline constexpr std::uint32_t kControlPreshutdown = 15;       // SERVICE_CONTROL_PRESHUTDOWN
inline constexpr std::uint32_t kErrorServiceSpecific = 1066;   // ERROR_SERVICE_SPECIFIC_ERROR
inline constexpr std::uint32_t kActionRestart = 1;             // SC_ACTION_RESTART
} // namespace scm

// SERVICE_STATUS.
struct ServiceStatus {
    std::uint32_t serviceType = 0;
    std::uint32_t currentState = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

// The arguments of CreateServiceW that the service sets; the rest are null.
struct ServiceConfig {
    std::wstring serviceName;
    std::wstring displayName;
    std::uint32_t desiredAccess;
    std::uint32_t serviceType;
    std::uint32_t startType;
    std::uint32_t errorControl;
    std::wstring binaryPathName;
};

// SERVICE_FAILURE_ACTIONSW without a reboot message or a command: what the Service Control
// Manager does after each failure of the service, the last action repeating.
struct FailureAction {
    std::uint32_t type;    // SC_ACTION_TYPE
    std::uint32_t delayMs; // before the action
    friend bool operator==(const FailureAction&, const FailureAction&) = default;
};
struct FailureActions {
    std::uint32_t resetPeriodSeconds; // failures older than this are forgotten
    std::vector<FailureAction> actions;
    friend bool operator==(const FailureActions&, const FailureActions&) = default;
};

class ServiceManager;
class DeviceNotifications;

// An open Service Control Manager or service; destroying it calls CloseServiceHandle.
class ServiceHandle final : public SeamHandle<ServiceManager, ServiceHandle> {
public:
    using SeamHandle::SeamHandle;
};

// A registered device notification; unregister() is UnregisterDeviceNotification, and so is
// destroying it while still registered.
class DeviceNotification final : public SeamHandle<DeviceNotifications, DeviceNotification> {
public:
    using SeamHandle::SeamHandle;
    bool unregister();
};

// Installation and removal.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    // OpenSCManagerW on the local computer, default database.
    virtual ServiceHandle openSCManager(std::uint32_t desiredAccess) = 0;
    // CreateServiceW; no load-order group, tag, dependencies, account or password.
    virtual ServiceHandle createService(const ServiceHandle& manager,
                                        const ServiceConfig& config) = 0;
    // OpenServiceW.
    virtual ServiceHandle openService(const ServiceHandle& manager, const std::wstring& serviceName,
                                      std::uint32_t desiredAccess) = 0;
    virtual bool queryServiceStatus(const ServiceHandle& service, ServiceStatus& status) = 0;
    virtual bool deleteService(const ServiceHandle& service) = 0;
    // ChangeServiceConfig2W with SERVICE_CONFIG_PRESHUTDOWN_INFO, SERVICE_CONFIG_FAILURE_ACTIONS
    // and SERVICE_CONFIG_FAILURE_ACTIONS_FLAG; false on failure, with the reason in GetLastError.
    virtual bool changePreshutdownTimeout(const ServiceHandle& service,
                                          std::uint32_t timeoutMs) = 0;
    virtual bool changeFailureActions(const ServiceHandle& service,
                                      const FailureActions& actions) = 0;
    virtual bool changeFailureActionsOnNonCrashFailures(const ServiceHandle& service,
                                                        bool enabled) = 0;
    // GetModuleFileNameW of the process's own module into a buffer of 260 characters: as many
    // characters as the call returns (a cut path has all 260, the NUL last); nothing for 0.
    virtual std::optional<std::wstring> moduleFileName() = 0;

private:
    template <class, class> friend class SeamHandle;
    virtual void close(std::type_identity<ServiceHandle>, std::uintptr_t handle) = 0;
};

// The owner of the notifications a runtime registers: a base of its own, so that a runtime
// which passes another's notifications on has nothing to close.
class DeviceNotifications {
protected:
    ~DeviceNotifications() = default;

private:
    template <class, class> friend class SeamHandle;
    friend DeviceNotification;
    // Unregisters and empties `notification`: a second call fails with ERROR_INVALID_HANDLE.
    virtual bool unregister(std::uintptr_t& notification) = 0;
    virtual void close(std::type_identity<DeviceNotification>, std::uintptr_t notification) = 0;
};

// What a running service says to, and hears from, the Service Control Manager.
class ServiceRuntime {
public:
    using StatusHandle = void*; // SERVICE_STATUS_HANDLE: never closed
    using ServiceMain = void (*)(std::uint32_t argc, wchar_t** argv);
    using HandlerEx = std::uint32_t (*)(std::uint32_t control, std::uint32_t eventType,
                                        void* eventData, void* context);
    using ThreadProc = std::uint32_t (*)(void* parameter);
    // The object a handler or thread procedure was registered with, from the context it gets.
    template <class T> static T& registered(void* context) { return *static_cast<T*>(context); }

    virtual ~ServiceRuntime() = default;

    // StartServiceCtrlDispatcherW with the table {serviceName, serviceMain}, {null, null}:
    // returns when the service has stopped, or at once with false when the process was not
    // started by the Service Control Manager.
    virtual bool startServiceCtrlDispatcher(const wchar_t* serviceName, ServiceMain main) = 0;
    virtual std::uint32_t lastError() = 0; // GetLastError

    // RegisterServiceCtrlHandlerExW; null on failure.
    virtual StatusHandle registerServiceCtrlHandlerEx(const wchar_t* serviceName, HandlerEx handler,
                                                      void* context) = 0;
    virtual bool setServiceStatus(StatusHandle handle, const ServiceStatus& status) = 0;

    // RegisterDeviceNotificationW with a DEV_BROADCAST_DEVICEINTERFACE_W filter for one
    // interface class (size 32, DBT_DEVTYP_DEVICEINTERFACE, empty name) and
    // DEVICE_NOTIFY_SERVICE_HANDLE; empty on failure.
    virtual DeviceNotification registerDeviceNotification(StatusHandle recipient,
                                                          const Guid& interfaceClass) = 0;

    // The names of the device interfaces of one class that are present now:
    // SetupDiGetClassDevsW with DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, then
    // SetupDiEnumDeviceInterfaces and SetupDiGetDeviceInterfaceDetailW for each. Nothing when
    // the list cannot be made or read; lastError() then says why.
    virtual std::optional<std::vector<std::wstring>>
    presentDeviceInterfaces(const Guid& interfaceClass) = 0;

    // CreateThread with default security and stack size, running at once. The thread handle
    // is closed straight away; the thread runs on. False when the thread was not created.
    virtual bool createThread(ThreadProc procedure, void* parameter, std::uint32_t& threadId) = 0;
};

inline bool DeviceNotification::unregister() {
    return owner_->unregister(value_);
}

ServiceManager& systemServiceManager();
ServiceRuntime& systemServiceRuntime();

} // namespace tarn::platform
