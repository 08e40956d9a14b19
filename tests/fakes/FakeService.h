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

namespace tarn::testing {

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

    std::unique_ptr<platform::ServiceHandle> openSCManager(std::uint32_t access) override {
        calls.push_back(L"OpenSCManager");
        accessRequested.push_back(access);
        return failOpenManager ? nullptr : std::make_unique<Handle>(*this, L"manager");
    }
    std::unique_ptr<platform::ServiceHandle>
    createService(platform::ServiceHandle&, const platform::ServiceConfig& c) override {
        calls.push_back(L"CreateService");
        if (failCreate) {
            return nullptr;
        }
        created = c;
        return std::make_unique<Handle>(*this, L"service");
    }
    std::unique_ptr<platform::ServiceHandle>
    openService(platform::ServiceHandle&, const std::wstring& name, std::uint32_t access) override {
        calls.push_back(L"OpenService " + name);
        accessRequested.push_back(access);
        return failOpenService ? nullptr : std::make_unique<Handle>(*this, L"service");
    }
    bool queryServiceStatus(platform::ServiceHandle&, platform::ServiceStatus& status) override {
        calls.push_back(L"QueryServiceStatus");
        status.currentState = currentState;
        return !failQuery;
    }
    // ChangeServiceConfig2W: each setting kept.
    std::optional<std::uint32_t> preshutdownTimeout;
    std::optional<platform::FailureActions> failureActions;
    std::optional<bool> failureActionsFlag;
    bool changePreshutdownTimeout(platform::ServiceHandle&, std::uint32_t timeout) override {
        return config(L"PreshutdownInfo", preshutdownTimeout, timeout);
    }
    bool changeFailureActions(platform::ServiceHandle&,
                              const platform::FailureActions& actions) override {
        return config(L"FailureActions", failureActions, actions);
    }
    bool changeFailureActionsOnNonCrashFailures(platform::ServiceHandle&, bool enabled) override {
        return config(L"FailureActionsFlag", failureActionsFlag, enabled);
    }
    bool deleteService(platform::ServiceHandle&) override {
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
    struct Handle final : platform::ServiceHandle {
        Handle(FakeServiceManager& o, std::wstring w) : owner(o), what(std::move(w)) {}
        ~Handle() override { owner.calls.push_back(L"Close " + what); }
        FakeServiceManager& owner;
        std::wstring what;
    };
};

class FakeServiceRuntime final : public platform::ServiceRuntime {
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
    std::unique_ptr<platform::DeviceNotification>
    registerDeviceNotification(StatusHandle, const platform::Guid& interfaceClass) override {
        calls.push_back(L"RegisterDeviceNotification");
        if (failNotification) {
            return nullptr;
        }
        notificationClasses.push_back(interfaceClass);
        return std::make_unique<Notification>(*this);
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
    struct Notification final : platform::DeviceNotification {
        explicit Notification(FakeServiceRuntime& o) : owner(o) {}
        bool unregister() override {
            ++owner.unregistrations;
            owner.calls.push_back(L"UnregisterDeviceNotification");
            return true;
        }
        FakeServiceRuntime& owner;
    };
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

} // namespace tarn::testing
