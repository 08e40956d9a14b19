// Fakes of the Service Control Manager seam that record every call.
#pragma once

#include "platform/Service.h"

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarn::fakes {

class FakeServiceManager final : public platform::ServiceManager {
public:
    bool failOpenManager = false;
    bool failCreate = false;
    bool failOpenService = false;
    bool failQuery = false;
    bool failDelete = false;
    std::optional<std::wstring> modulePath = L"C:\\Program Files\\Vantor\\Tarn\\Services\\"
                                             L"VantorTarnWindowsUpdateService.exe";
    std::uint32_t currentState = 1;

    std::vector<std::wstring> calls; // in order, closes included
    std::vector<std::uint32_t> accessRequested;
    std::optional<platform::ServiceConfig> created;
    bool deleted = false;

    platform::ServiceHandle openSCManager(std::uint32_t access) override {
        calls.push_back(L"OpenSCManager");
        accessRequested.push_back(access);
        return failOpenManager ? platform::ServiceHandle{} : handle(L"manager");
    }
    platform::ServiceHandle createService(const platform::ServiceHandle&,
                                          const platform::ServiceConfig& c) override {
        calls.push_back(L"CreateService");
        if (failCreate) {
            return {};
        }
        created = c;
        return handle(L"service");
    }
    platform::ServiceHandle openService(const platform::ServiceHandle&, const std::wstring& name,
                                        std::uint32_t access) override {
        calls.push_back(L"OpenService " + name);
        accessRequested.push_back(access);
        return failOpenService ? platform::ServiceHandle{} : handle(L"service");
    }
    bool queryServiceStatus(const platform::ServiceHandle&,
                            platform::ServiceStatus& status) override {
        calls.push_back(L"QueryServiceStatus");
        status.currentState = currentState;
        return !failQuery;
    }
    // ChangeServiceConfig2W: each setting kept.
    std::optional<std::uint32_t> preshutdownTimeout;
    std::optional<platform::FailureActions> failureActions;
    std::optional<bool> failureActionsFlag;
    bool changePreshutdownTimeout(const platform::ServiceHandle&, std::uint32_t timeout) override {
        return config(L"PreshutdownInfo", preshutdownTimeout, timeout);
    }
    bool changeFailureActions(const platform::ServiceHandle&,
                              const platform::FailureActions& actions) override {
        return config(L"FailureActions", failureActions, actions);
    }
    bool changeFailureActionsOnNonCrashFailures(const platform::ServiceHandle&,
                                                bool enabled) override {
        return config(L"FailureActionsFlag", failureActionsFlag, enabled);
    }
    bool deleteService(const platform::ServiceHandle&) override {
        calls.push_back(L"DeleteService");
        deleted = !failDelete;
        return !failDelete;
    }
    std::optional<std::wstring> moduleFileName() override {
        calls.push_back(L"GetModuleFileName");
        return modulePath;
    }

private:
    template <typename T> bool config(const std::wstring& what, std::optional<T>& kept, T value) {
        calls.push_back(L"ChangeServiceConfig2 " + what);
        kept = value;
        return true;
    }
    platform::ServiceHandle handle(std::wstring what) {
        opened_.push_back(std::move(what));
        return {*this, opened_.size() - 1};
    }
    void close(std::type_identity<platform::ServiceHandle>, std::uintptr_t handle) override {
        calls.push_back(L"Close " + opened_.at(handle));
    }
    std::vector<std::wstring> opened_; // what each handle is, by its value
};

class FakeServiceRuntime final : public platform::ServiceRuntime,
                                 private platform::DeviceNotifications {
public:
    bool dispatcherConnects = false;
    std::uint32_t error = 1063;
    bool failHandler = false;
    bool failNotification = false;
    // Runs inside the dispatcher call, as the Service Control Manager would.
    std::function<void(ServiceMain)> whileDispatching;
    // The device interfaces present; none at all: the look fails with `error`.
    std::optional<std::vector<std::wstring>> present = std::vector<std::wstring>{};
    std::vector<platform::Guid> presentClasses;

    HandlerEx handler = nullptr;
    void* context = nullptr;
    std::vector<platform::ServiceStatus> statuses;
    std::vector<platform::Guid> notificationClasses;
    int unregistrations = 0;
    std::vector<std::thread> threads;
    std::vector<std::wstring> calls;

    bool startServiceCtrlDispatcher(const wchar_t* name, ServiceMain main) override {
        calls.push_back(std::wstring(L"StartServiceCtrlDispatcher ") + name);
        if (!dispatcherConnects) {
            return false;
        }
        if (whileDispatching) {
            whileDispatching(main);
        }
        return true;
    }
    std::uint32_t lastError() override { return error; }
    StatusHandle registerServiceCtrlHandlerEx(const wchar_t* name, HandlerEx h, void* c) override {
        calls.push_back(std::wstring(L"RegisterServiceCtrlHandlerEx ") + name);
        if (failHandler) {
            return nullptr;
        }
        handler = h;
        context = c;
        return &handler;
    }
    bool setServiceStatus(StatusHandle, const platform::ServiceStatus& status) override {
        calls.push_back(L"SetServiceStatus " + std::to_wstring(status.currentState));
        statuses.push_back(status);
        return true;
    }
    platform::DeviceNotification
    registerDeviceNotification(StatusHandle, const platform::Guid& interfaceClass) override {
        calls.push_back(L"RegisterDeviceNotification");
        if (failNotification) {
            return {};
        }
        notificationClasses.push_back(interfaceClass);
        return {*this, notificationClasses.size()};
    }
    std::optional<std::vector<std::wstring>>
    presentDeviceInterfaces(const platform::Guid& interfaceClass) override {
        calls.push_back(L"SetupDiGetClassDevs");
        presentClasses.push_back(interfaceClass);
        return present;
    }
    bool failThread = false;
    bool createThread(ThreadProc, void*, std::uint32_t& id) override {
        // The worker never ends; tests drive its turns themselves.
        calls.push_back(L"CreateThread");
        if (failThread) {
            return false;
        }
        id = 4242;
        return true;
    }

private:
    bool unregister(std::uintptr_t&) override {
        ++unregistrations;
        calls.push_back(L"UnregisterDeviceNotification");
        return true;
    }
    void close(std::type_identity<platform::DeviceNotification>, std::uintptr_t) override {}
};

// A DEV_BROADCAST_DEVICEINTERFACE_W-shaped record in a buffer of exactly its size.
inline std::vector<unsigned char> deviceRecord(const std::wstring& name, const platform::Guid& cls,
                                               std::uint32_t deviceType = 5) {
    const std::size_t size =
        platform::kDeviceInterfaceNameOffset + (name.size() + 1) * sizeof(wchar_t);
    std::vector<unsigned char> bytes(size);
    platform::DeviceInterfaceRecord header{};
    header.size = static_cast<std::uint32_t>(size);
    header.deviceType = deviceType;
    header.classGuid = cls;
    std::memcpy(bytes.data(), &header, platform::kDeviceInterfaceNameOffset);
    std::memcpy(bytes.data() + platform::kDeviceInterfaceNameOffset, name.c_str(),
                (name.size() + 1) * sizeof(wchar_t));
    return bytes;
}

} // namespace tarn::fakes
