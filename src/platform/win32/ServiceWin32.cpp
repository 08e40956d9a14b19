#include "platform/Service.h"
#include "platform/win32/UniqueHandles.h"

// clang-format off
#include <windows.h>
#include <dbt.h> // needs the types of windows.h
// clang-format on

#include <cstddef>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

namespace tarn::platform {

static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(offsetof(Guid, data1) == offsetof(GUID, Data1));
static_assert(offsetof(Guid, data2) == offsetof(GUID, Data2));
static_assert(offsetof(Guid, data3) == offsetof(GUID, Data3));
static_assert(offsetof(Guid, data4) == offsetof(GUID, Data4));

static_assert(sizeof(DeviceInterfaceRecord) == sizeof(DEV_BROADCAST_DEVICEINTERFACE_W));
static_assert(offsetof(DeviceInterfaceRecord, size) ==
              offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_size));
static_assert(offsetof(DeviceInterfaceRecord, deviceType) ==
              offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_devicetype));
static_assert(offsetof(DeviceInterfaceRecord, reserved) ==
              offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_reserved));
static_assert(offsetof(DeviceInterfaceRecord, classGuid) ==
              offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid));
static_assert(offsetof(DeviceInterfaceRecord, name) ==
              offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name));
static_assert(kDeviceTypeDeviceInterface == DBT_DEVTYP_DEVICEINTERFACE);
static_assert(kDeviceArrival == DBT_DEVICEARRIVAL);
static_assert(kDeviceRemoveComplete == DBT_DEVICEREMOVECOMPLETE);

static_assert(scm::kManagerConnect == SC_MANAGER_CONNECT);
static_assert(scm::kManagerCreateService == SC_MANAGER_CREATE_SERVICE);
static_assert(scm::kManagerAllAccess == SC_MANAGER_ALL_ACCESS);
static_assert(scm::kServiceQueryStatus == SERVICE_QUERY_STATUS);
static_assert(scm::kServiceAllAccess == SERVICE_ALL_ACCESS);
static_assert(scm::kDelete == DELETE);
static_assert(scm::kServiceChangeConfig == SERVICE_CHANGE_CONFIG);
static_assert(scm::kGenericAll == GENERIC_ALL);
static_assert(scm::kServiceWin32OwnProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(scm::kServiceWin32 == SERVICE_WIN32);
static_assert(scm::kServiceAutoStart == SERVICE_AUTO_START);
static_assert(scm::kServiceErrorNormal == SERVICE_ERROR_NORMAL);
static_assert(scm::kStateStopped == SERVICE_STOPPED);
static_assert(scm::kStateStartPending == SERVICE_START_PENDING);
static_assert(scm::kStateStopPending == SERVICE_STOP_PENDING);
static_assert(scm::kStateRunning == SERVICE_RUNNING);
static_assert(scm::kAcceptStop == SERVICE_ACCEPT_STOP);
static_assert(scm::kAcceptPreshutdown == SERVICE_ACCEPT_PRESHUTDOWN);
static_assert(scm::kControlStop == SERVICE_CONTROL_STOP);
static_assert(scm::kControlPause == SERVICE_CONTROL_PAUSE);
static_assert(scm::kControlContinue == SERVICE_CONTROL_CONTINUE);
static_assert(scm::kControlInterrogate == SERVICE_CONTROL_INTERROGATE);
static_assert(scm::kControlDeviceEvent == SERVICE_CONTROL_DEVICEEVENT);
static_assert(scm::kControlPreshutdown == SERVICE_CONTROL_PRESHUTDOWN);
static_assert(scm::kErrorServiceSpecific == ERROR_SERVICE_SPECIFIC_ERROR);
static_assert(scm::kActionRestart == SC_ACTION_RESTART);

namespace {

using win32::fromSeamValue;
using win32::seamValue;
using win32::UniqueServiceHandle;

SC_HANDLE raw(const ServiceHandle& handle) {
    return fromSeamValue<SC_HANDLE>(handle.value());
}

class Win32ServiceManager final : public ServiceManager {
public:
    ServiceHandle openSCManager(std::uint32_t desiredAccess) override {
        return own(OpenSCManagerW(nullptr, nullptr, desiredAccess));
    }

    ServiceHandle createService(const ServiceHandle& manager,
                                const ServiceConfig& config) override {
        return own(CreateServiceW(
            raw(manager), config.serviceName.c_str(), config.displayName.c_str(),
            config.desiredAccess, config.serviceType, config.startType, config.errorControl,
            config.binaryPathName.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    }

    ServiceHandle openService(const ServiceHandle& manager, const std::wstring& serviceName,
                              std::uint32_t desiredAccess) override {
        return own(OpenServiceW(raw(manager), serviceName.c_str(), desiredAccess));
    }

    bool queryServiceStatus(const ServiceHandle& service, ServiceStatus& status) override {
        SERVICE_STATUS s{};
        if (!QueryServiceStatus(raw(service), &s)) {
            return false;
        }
        status.serviceType = s.dwServiceType;
        status.currentState = s.dwCurrentState;
        status.controlsAccepted = s.dwControlsAccepted;
        status.win32ExitCode = s.dwWin32ExitCode;
        status.serviceSpecificExitCode = s.dwServiceSpecificExitCode;
        status.checkPoint = s.dwCheckPoint;
        status.waitHint = s.dwWaitHint;
        return true;
    }

    bool deleteService(const ServiceHandle& service) override {
        return DeleteService(raw(service)) != FALSE;
    }

    bool changePreshutdownTimeout(const ServiceHandle& service, std::uint32_t timeoutMs) override {
        SERVICE_PRESHUTDOWN_INFO info{};
        info.dwPreshutdownTimeout = timeoutMs;
        return ChangeServiceConfig2W(raw(service), SERVICE_CONFIG_PRESHUTDOWN_INFO, &info) != FALSE;
    }

    bool changeFailureActions(const ServiceHandle& service,
                              const FailureActions& actions) override {
        std::vector<SC_ACTION> list;
        for (const auto& action : actions.actions) {
            list.push_back({static_cast<SC_ACTION_TYPE>(action.type), action.delayMs});
        }
        SERVICE_FAILURE_ACTIONSW info{};
        info.dwResetPeriod = actions.resetPeriodSeconds;
        info.lpRebootMsg = nullptr; // unchanged
        info.lpCommand = nullptr;   // unchanged
        info.cActions = static_cast<DWORD>(list.size());
        info.lpsaActions = list.data();
        return ChangeServiceConfig2W(raw(service), SERVICE_CONFIG_FAILURE_ACTIONS, &info) != FALSE;
    }

    bool changeFailureActionsOnNonCrashFailures(const ServiceHandle& service,
                                                bool enabled) override {
        SERVICE_FAILURE_ACTIONS_FLAG info{};
        info.fFailureActionsOnNonCrashFailures = enabled ? TRUE : FALSE;
        return ChangeServiceConfig2W(raw(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &info) !=
               FALSE;
    }

    std::optional<std::wstring> moduleFileName() override {
        wchar_t buffer[260];
        const DWORD length = GetModuleFileNameW(nullptr, buffer, 260);
        if (length == 0) {
            return std::nullopt;
        }
        return std::wstring(buffer, length);
    }

private:
    ServiceHandle own(SC_HANDLE handle) {
        if (handle == nullptr) {
            return {};
        }
        return {*this, seamValue(handle)};
    }
    void close(std::type_identity<ServiceHandle>, std::uintptr_t handle) override {
        UniqueServiceHandle(fromSeamValue<SC_HANDLE>(handle)).reset();
    }
};

// Windows calls back with WINAPI functions; the seam hands over plain C++ ones, kept here.
// One service per process, so one of each.
ServiceRuntime::ServiceMain serviceMainTarget = nullptr;
ServiceRuntime::HandlerEx handlerTarget = nullptr;

void WINAPI serviceMainTrampoline(DWORD argc, LPWSTR* argv) {
    serviceMainTarget(argc, argv);
}

DWORD WINAPI handlerTrampoline(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
    return handlerTarget(control, eventType, eventData, context);
}

struct ThreadStart {
    ServiceRuntime::ThreadProc procedure;
    void* parameter;
};

DWORD WINAPI threadTrampoline(LPVOID start) {
    const std::unique_ptr<ThreadStart> owned(static_cast<ThreadStart*>(start));
    return owned->procedure(owned->parameter);
}

class Win32ServiceRuntime final : public ServiceRuntime, private DeviceNotifications {
public:
    bool startServiceCtrlDispatcher(const wchar_t* serviceName, ServiceMain main) override {
        serviceMainTarget = main;
        SERVICE_TABLE_ENTRYW table[2] = {
            {const_cast<LPWSTR>(serviceName), serviceMainTrampoline},
            {nullptr, nullptr},
        };
        return StartServiceCtrlDispatcherW(table) != FALSE;
    }

    std::uint32_t lastError() override { return GetLastError(); }

    StatusHandle registerServiceCtrlHandlerEx(const wchar_t* serviceName, HandlerEx handler,
                                              void* context) override {
        handlerTarget = handler;
        return RegisterServiceCtrlHandlerExW(serviceName, handlerTrampoline, context);
    }

    bool setServiceStatus(StatusHandle handle, const ServiceStatus& status) override {
        SERVICE_STATUS s{};
        s.dwServiceType = status.serviceType;
        s.dwCurrentState = status.currentState;
        s.dwControlsAccepted = status.controlsAccepted;
        s.dwWin32ExitCode = status.win32ExitCode;
        s.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
        s.dwCheckPoint = status.checkPoint;
        s.dwWaitHint = status.waitHint;
        return SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &s) != FALSE;
    }

    DeviceNotification registerDeviceNotification(StatusHandle recipient,
                                                  const Guid& interfaceClass) override {
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        static_assert(sizeof(filter) == 32);
        CopyMemory(&filter.dbcc_classguid, &interfaceClass, sizeof(GUID));
        filter.dbcc_name[0] = L'\0';
        HDEVNOTIFY handle =
            RegisterDeviceNotificationW(recipient, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
        if (handle == nullptr) {
            return {};
        }
        return {*this, seamValue(handle)};
    }

    std::optional<std::vector<std::wstring>>
    presentDeviceInterfaces(const Guid& interfaceClass) override {
        GUID cls;
        CopyMemory(&cls, &interfaceClass, sizeof(GUID));
        win32::UniqueDeviceInfoList list(
            SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
        if (!list) {
            return std::nullopt;
        }
        std::vector<std::wstring> names;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof(data);
            if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &cls, index, &data)) {
                if (GetLastError() == ERROR_NO_MORE_ITEMS) {
                    return names;
                }
                return std::nullopt;
            }
            // The first call only asks for the size the detail needs.
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailW(list.get(), &data, nullptr, 0, &required, nullptr);
            constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
            if (required <= kPathOffset) {
                return std::nullopt;
            }
            // DWORDs keep the buffer aligned for the struct.
            std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
            // The size of the fixed part, not of the buffer: the call checks it.
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!SetupDiGetDeviceInterfaceDetailW(list.get(), &data, detail, required, nullptr,
                                                  nullptr)) {
                return std::nullopt;
            }
            const std::size_t room = (required - kPathOffset) / sizeof(wchar_t);
            names.emplace_back(detail->DevicePath, wcsnlen(detail->DevicePath, room));
        }
    }

    bool createThread(ThreadProc procedure, void* parameter, std::uint32_t& threadId) override {
        std::unique_ptr<ThreadStart> start(new (std::nothrow) ThreadStart{procedure, parameter});
        if (!start) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        DWORD id = 0;
        const win32::UniqueHandle thread(
            CreateThread(nullptr, 0, threadTrampoline, start.get(), 0, &id));
        if (!thread) {
            return false;
        }
        start.release(); // the thread's now
        threadId = id;
        return true;
    }

private:
    bool unregister(std::uintptr_t& notification) override {
        if (notification == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        // The handle is gone whatever the result: it must not be unregistered twice.
        return UnregisterDeviceNotification(
                   fromSeamValue<HDEVNOTIFY>(std::exchange(notification, 0))) != FALSE;
    }
    void close(std::type_identity<DeviceNotification>, std::uintptr_t notification) override {
        if (notification != 0) {
            UnregisterDeviceNotification(fromSeamValue<HDEVNOTIFY>(notification));
        }
    }
};

} // namespace

ServiceManager& systemServiceManager() {
    static Win32ServiceManager manager;
    return manager;
}

// Never destroyed: a notification held in a static closes through it at exit.
ServiceRuntime& systemServiceRuntime() {
    static auto* runtime = new Win32ServiceRuntime;
    return *runtime;
}

} // namespace tarn::platform
