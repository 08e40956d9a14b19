// The stand-in Service Control Manager: a file store for the registrations and a dispatcher
// that takes controls from tarn-sc over a Unix-domain socket.
#include "platform/Service.h"
#include "platform/standin/ServiceStore.h"
#include "platform/standin/SysRoot.h"
#include "platform/standin/UsbDeviceMonitor.h"
#include "portable/Utf8.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tarn::platform {
namespace {

using namespace standin;

using scm::kDelete;
using scm::kGenericAll;
using scm::kManagerAllAccess;
using scm::kManagerCreateService;
using scm::kServiceAllAccess;
using scm::kServiceChangeConfig;
using scm::kServiceQueryStatus;

// GetLastError is per thread; so is this.
thread_local std::uint32_t lastErrorValue = 0;

template <typename T> T fail(std::uint32_t error, T value) {
    lastErrorValue = error;
    return value;
}

bool grants(std::uint32_t granted, std::uint32_t all, std::uint32_t wanted) {
    if ((granted & kGenericAll) != 0) {
        granted |= all;
    }
    return (granted & wanted) == wanted;
}

// What an open handle stands for: the store, and for a service its name.
struct OpenHandle {
    std::filesystem::path directory;
    bool manager;
    std::wstring name;
    std::uint32_t access;
};

class StandinServiceManager final : public ServiceManager {
    // ChangeServiceConfig2W: needs SERVICE_CHANGE_CONFIG on the handle.
    template <typename Change> bool changeRecord(const ServiceHandle& service, Change change) {
        const auto open = opened(service, false);
        if (!open) {
            return false;
        }
        if (!grants(open->access, kServiceAllAccess, kServiceChangeConfig)) {
            return fail(kErrorAccessDenied, false);
        }
        StoreLock lock(open->directory);
        auto record = readServiceRecord(open->directory, open->name);
        if (!record) {
            return fail(kErrorServiceDoesNotExist, false);
        }
        change(*record);
        if (!writeServiceRecord(open->directory, *record)) {
            return fail(kErrorAccessDenied, false);
        }
        lastErrorValue = 0;
        return true;
    }

public:
    ServiceHandle openSCManager(std::uint32_t desiredAccess) override {
        auto directory = serviceStoreDirectory();
        if (!directory) {
            return fail(kErrorAccessDenied, ServiceHandle{});
        }
        // A store that cannot be created or written stands for an account that may not
        // change the service database.
        std::error_code ec;
        std::filesystem::create_directories(*directory, ec);
        if (ec || !std::filesystem::is_directory(*directory, ec)) {
            return fail(kErrorAccessDenied, ServiceHandle{});
        }
        const auto probe = *directory / (".probe" + std::to_string(::getpid()));
        UniqueFd fd(::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!fd) {
            return fail(kErrorAccessDenied, ServiceHandle{});
        }
        ::unlink(probe.c_str());
        return own({*directory, true, {}, desiredAccess});
    }

    ServiceHandle createService(const ServiceHandle& manager,
                                const ServiceConfig& config) override {
        const auto scm = opened(manager, true);
        if (!scm) {
            return {};
        }
        if (!grants(scm->access, kManagerAllAccess, kManagerCreateService)) {
            return fail(kErrorAccessDenied, ServiceHandle{});
        }
        // CreateServiceW takes C strings: each text ends at its first NUL.
        const auto text = [](const std::wstring& s) { return s.substr(0, s.find(L'\0')); };
        const std::wstring serviceName = text(config.serviceName);
        const std::wstring displayName = text(config.displayName);
        const std::wstring binaryPathName = text(config.binaryPathName);
        if (!isStorableName(serviceName)) {
            return fail(kErrorInvalidName, ServiceHandle{});
        }
        if (binaryPathName.empty() || !isStorableValue(binaryPathName) ||
            !isStorableValue(displayName)) {
            return fail(kErrorInvalidParameter, ServiceHandle{});
        }
        StoreLock lock(scm->directory);
        if (readServiceRecord(scm->directory, serviceName)) {
            return fail(kErrorServiceExists, ServiceHandle{});
        }
        ServiceRecord record;
        record.serviceName = serviceName;
        record.displayName = displayName;
        record.serviceType = config.serviceType;
        record.startType = config.startType;
        record.errorControl = config.errorControl;
        record.binaryPathName = binaryPathName;
        record.status.serviceType = config.serviceType;
        record.status.currentState = scm::kStateStopped;
        if (!writeServiceRecord(scm->directory, record)) {
            return fail(kErrorAccessDenied, ServiceHandle{});
        }
        return own({scm->directory, false, serviceName, config.desiredAccess});
    }

    ServiceHandle openService(const ServiceHandle& manager, const std::wstring& serviceName,
                              std::uint32_t desiredAccess) override {
        const auto scm = opened(manager, true);
        if (!scm) {
            return {};
        }
        if (!isStorableName(serviceName)) {
            return fail(kErrorInvalidName, ServiceHandle{});
        }
        if (!readServiceRecord(scm->directory, serviceName)) {
            return fail(kErrorServiceDoesNotExist, ServiceHandle{});
        }
        return own({scm->directory, false, serviceName, desiredAccess});
    }

    bool queryServiceStatus(const ServiceHandle& service, ServiceStatus& status) override {
        const auto open = opened(service, false);
        if (!open) {
            return false;
        }
        if (!grants(open->access, kServiceAllAccess, kServiceQueryStatus)) {
            return fail(kErrorAccessDenied, false);
        }
        auto record = readServiceRecord(open->directory, open->name);
        if (!record) {
            return fail(kErrorServiceDoesNotExist, false);
        }
        status = withLiveness(*record).status;
        lastErrorValue = 0;
        return true;
    }

    bool deleteService(const ServiceHandle& service) override {
        const auto open = opened(service, false);
        if (!open) {
            return false;
        }
        if (!grants(open->access, kServiceAllAccess, kDelete)) {
            return fail(kErrorAccessDenied, false);
        }
        // Windows marks a running service for deletion and removes it once it stops; the
        // stand-in removes the registration at once and lets the process run on.
        StoreLock lock(open->directory);
        if (!removeServiceRecord(open->directory, open->name)) {
            return fail(kErrorServiceDoesNotExist, false);
        }
        lastErrorValue = 0;
        return true;
    }

    bool changePreshutdownTimeout(const ServiceHandle& service, std::uint32_t timeoutMs) override {
        return changeRecord(service, [&](ServiceRecord& r) { r.preshutdownTimeout = timeoutMs; });
    }

    bool changeFailureActions(const ServiceHandle& service,
                              const FailureActions& actions) override {
        std::string text = std::to_string(actions.resetPeriodSeconds);
        for (const auto& action : actions.actions) {
            text += ' ' + std::to_string(action.type) + '/' + std::to_string(action.delayMs);
        }
        return changeRecord(service, [&](ServiceRecord& r) { r.failureActions = text; });
    }

    bool changeFailureActionsOnNonCrashFailures(const ServiceHandle& service,
                                                bool enabled) override {
        return changeRecord(
            service, [&](ServiceRecord& r) { r.failureActionsOnNonCrashFailures = enabled; });
    }

    std::optional<std::wstring> moduleFileName() override {
        std::error_code ec;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (ec) {
            return fail(kErrorFileNotFound, std::nullopt);
        }
        std::wstring path = standin::toWindowsPath(self);
        // GetModuleFileNameW into 260 characters: a longer path is cut to 259, the NUL takes the
        // last place, and the result is the buffer's size, NUL included.
        constexpr std::size_t kBuffer = 260;
        if (path.size() >= kBuffer) {
            path.resize(kBuffer - 1);
            path.push_back(L'\0');
            lastErrorValue = 122; // ERROR_INSUFFICIENT_BUFFER
        } else {
            lastErrorValue = 0;
        }
        return path;
    }

private:
    ServiceHandle own(OpenHandle handle) {
        std::lock_guard lock(mutex_);
        open_.emplace(next_, std::move(handle));
        lastErrorValue = 0;
        return {*this, next_++};
    }
    // What an open handle of the kind stands for; nothing, with ERROR_INVALID_HANDLE, for any
    // other handle.
    std::optional<OpenHandle> opened(const ServiceHandle& handle, bool manager) {
        std::lock_guard lock(mutex_);
        const auto found = handle.openedBy(*this) ? open_.find(handle.value()) : open_.end();
        if (found == open_.end() || found->second.manager != manager) {
            return fail(kErrorInvalidHandle, std::nullopt);
        }
        return found->second;
    }
    void close(std::type_identity<ServiceHandle>, std::uintptr_t handle) override {
        std::lock_guard lock(mutex_);
        open_.erase(handle);
    }

    // As Windows keeps its handle table: by value, any thread may use them.
    std::mutex mutex_;
    std::map<std::uintptr_t, OpenHandle> open_;
    std::uintptr_t next_ = 1;
};

// A registered device notification: its interface class and the udev monitor that hears the
// USB devices coming and going (none when udev cannot be reached; tarn-sc still delivers).
struct Notification {
    Guid interfaceClass;
    std::shared_ptr<UsbDeviceMonitor> monitor;
};

// The one dispatcher of the process and the service it runs.
struct Dispatcher {
    std::mutex mutex;
    bool active = false;
    bool used = false;
    std::wstring serviceName;
    ServiceRuntime::HandlerEx handler = nullptr;
    void* context = nullptr;
    std::map<std::uint64_t, Notification> notifications;
    std::uint64_t nextNotification = 1;
    std::atomic<bool> stopped{false};
    int wakeWrite = -1;
};

Dispatcher& dispatcher() {
    static Dispatcher instance;
    return instance;
}

// Makes the control loop look again at what it waits for. Called with the mutex held.
void wakeLocked(Dispatcher& d) {
    if (d.wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(d.wakeWrite, &byte, 1);
    }
}

ControlReply handleControl(Dispatcher& d, const ControlRequest& request) {
    ServiceRuntime::HandlerEx handler = nullptr;
    void* context = nullptr;
    {
        std::lock_guard lock(d.mutex);
        handler = d.handler;
        context = d.context;
        if (handler == nullptr) {
            return {ControlDisposition::NoHandler, 0};
        }
        if (request.control == scm::kControlDeviceEvent) {
            if (!isWellFormedDeviceInterfaceRecord(request.eventData.data(),
                                                   request.eventData.size())) {
                return {ControlDisposition::Malformed, 0};
            }
            Guid interfaceClass{};
            std::memcpy(&interfaceClass,
                        request.eventData.data() + offsetof(DeviceInterfaceRecord, classGuid),
                        sizeof interfaceClass);
            bool registered = false;
            for (const auto& [id, notification] : d.notifications) {
                registered = registered || notification.interfaceClass == interfaceClass;
            }
            if (!registered) {
                return {ControlDisposition::NotRegistered, 0};
            }
        } else if (!request.eventData.empty()) {
            return {ControlDisposition::Malformed, 0};
        }
    }
    // The handler runs without the lock: it may unregister notifications or report status.
    if (request.control == scm::kControlDeviceEvent) {
        // A buffer of exactly the record's size, aligned for the struct.
        std::vector<std::uint32_t> record(request.eventData.size() / sizeof(std::uint32_t));
        std::memcpy(record.data(), request.eventData.data(), request.eventData.size());
        return {ControlDisposition::Delivered,
                handler(request.control, request.eventType, record.data(), context)};
    }
    return {ControlDisposition::Delivered,
            handler(request.control, request.eventType, nullptr, context)};
}

// Delivers what a notification's monitor heard, as Windows delivers a device-interface event of
// the registered class: to the handler, on the thread that carries the other controls.
void deliverUsbEvents(Dispatcher& d, const Notification& notification) {
    for (const auto& event : notification.monitor->receive()) {
        const auto record = makeDeviceInterfaceRecord(
            notification.interfaceClass,
            deviceInterfaceName(event.identity, notification.interfaceClass));
        ControlRequest request;
        request.control = scm::kControlDeviceEvent;
        request.eventType = event.eventType;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(record.data());
        request.eventData.assign(bytes, bytes + record.size() * sizeof(record[0]));
        handleControl(d, request);
    }
}

class StandinServiceRuntime final : public ServiceRuntime, private DeviceNotifications {
public:
    bool startServiceCtrlDispatcher(const wchar_t* serviceName, ServiceMain main) override {
        // The environment is read and changed here before the dispatcher starts any thread.
        const char* startedAs = std::getenv(kServiceNameVariable); // NOLINT(concurrency-mt-unsafe)
        if (startedAs == nullptr) {
            return fail(kErrorFailedServiceControllerConnect, false);
        }
        const std::wstring expected = portable::fromUtf8(startedAs);
        // Children of the service (dfu-util) must not take themselves for the service.
        ::unsetenv(kServiceNameVariable); // NOLINT(concurrency-mt-unsafe)
        if (serviceName == nullptr || main == nullptr) {
            return fail(kErrorInvalidParameter, false);
        }
        if (expected != serviceName) {
            return fail(kErrorServiceNotInExe, false);
        }
        auto& d = dispatcher();
        {
            std::lock_guard lock(d.mutex);
            if (d.used) {
                return fail(kErrorServiceAlreadyRunning, false);
            }
            d.used = true;
        }
        UniqueFd listener = listenControlChannel(expected);
        if (!listener) {
            return fail(kErrorFailedServiceControllerConnect, false);
        }
        int wake[2];
        if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
            return fail(kErrorNotEnoughMemory, false);
        }
        UniqueFd wakeRead(wake[0]);
        UniqueFd wakeWrite(wake[1]);
        {
            std::lock_guard lock(d.mutex);
            d.active = true;
            d.serviceName = expected;
            d.wakeWrite = wakeWrite.get();
        }
        try {
            std::thread([main, name = expected]() mutable {
                wchar_t* argv[] = {name.data(), nullptr};
                main(1, argv);
            }).detach();
        } catch (const std::system_error&) {
            std::lock_guard lock(d.mutex);
            d.active = false;
            d.wakeWrite = -1;
            return fail(kErrorNotEnoughMemory, false);
        }

        // Controls and device events are carried on this thread, one at a time, until the
        // service stops.
        while (!d.stopped.load()) {
            // The notifications of this round; a copy keeps each monitor open while it is
            // polled, even if the handler unregisters it meanwhile.
            std::vector<Notification> heard;
            {
                std::lock_guard lock(d.mutex);
                for (const auto& [id, notification] : d.notifications) {
                    if (notification.monitor) {
                        heard.push_back(notification);
                    }
                }
            }
            std::vector<pollfd> fds = {{listener.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
            for (const auto& notification : heard) {
                fds.push_back({notification.monitor->fd(), POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                continue; // EINTR
            }
            if ((fds[1].revents & POLLIN) != 0) {
                char drain[64];
                [[maybe_unused]] const ssize_t n = ::read(wakeRead.get(), drain, sizeof drain);
            }
            for (std::size_t i = 0; i < heard.size(); ++i) {
                if ((fds[i + 2].revents & POLLIN) != 0 && !d.stopped.load()) {
                    deliverUsbEvents(d, heard[i]);
                }
            }
            if ((fds[0].revents & POLLIN) == 0) {
                continue;
            }
            UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) {
                continue;
            }
            // A client that stalls must not hold the controls of everyone else.
            timeval timeout{5, 0};
            ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            auto request = receiveRequest(client.get());
            const ControlReply reply = request ? handleControl(d, *request)
                                               : ControlReply{ControlDisposition::Malformed, 0};
            sendReply(client.get(), reply);
        }
        {
            std::lock_guard lock(d.mutex);
            d.active = false;
            d.handler = nullptr;
            d.wakeWrite = -1;
        }
        lastErrorValue = 0;
        return true;
    }

    std::uint32_t lastError() override { return lastErrorValue; }

    StatusHandle registerServiceCtrlHandlerEx(const wchar_t* serviceName, HandlerEx handler,
                                              void* context) override {
        auto& d = dispatcher();
        std::lock_guard lock(d.mutex);
        if (!d.active || serviceName == nullptr || d.serviceName != serviceName) {
            return fail(kErrorServiceNotInExe, nullptr);
        }
        if (handler == nullptr) {
            return fail(kErrorInvalidParameter, nullptr);
        }
        d.handler = handler;
        d.context = context;
        lastErrorValue = 0;
        return &d;
    }

    bool setServiceStatus(StatusHandle handle, const ServiceStatus& status) override {
        auto& d = dispatcher();
        std::wstring name;
        {
            std::lock_guard lock(d.mutex);
            if (handle != &d || !d.active) {
                return fail(kErrorInvalidHandle, false);
            }
            name = d.serviceName;
        }
        if (status.currentState < 1 || status.currentState > 7) {
            return fail(kErrorInvalidData, false);
        }
        auto directory = serviceStoreDirectory();
        if (!directory) {
            return fail(kErrorInvalidHandle, false);
        }
        {
            StoreLock lock(*directory);
            // A registration deleted meanwhile stays deleted: only its process runs on.
            if (auto record = readServiceRecord(*directory, name)) {
                record->status = status;
                record->processId = status.currentState == scm::kStateStopped ? 0 : ::getpid();
                if (!writeServiceRecord(*directory, *record)) {
                    return fail(kErrorAccessDenied, false);
                }
            }
        }
        if (status.currentState == scm::kStateStopped) {
            d.stopped.store(true);
            std::lock_guard lock(d.mutex);
            wakeLocked(d);
        }
        lastErrorValue = 0;
        return true;
    }

    DeviceNotification registerDeviceNotification(StatusHandle recipient,
                                                  const Guid& interfaceClass) override {
        auto& d = dispatcher();
        std::lock_guard lock(d.mutex);
        if (recipient != &d || !d.active) {
            return fail(kErrorInvalidHandle, DeviceNotification{});
        }
        const std::uint64_t id = d.nextNotification++;
        std::shared_ptr<UsbDeviceMonitor> monitor = UsbDeviceMonitor::open();
        if (!monitor) {
            std::fputs("stand-in: no udev monitor; device events come from tarn-sc only\n", stderr);
        }
        d.notifications.emplace(id, Notification{interfaceClass, monitor});
        wakeLocked(d);
        lastErrorValue = 0;
        return {*this, id};
    }

    // What the notifications' monitors would have heard of the devices on the bus, named alike.
    std::optional<std::vector<std::wstring>>
    presentDeviceInterfaces(const Guid& interfaceClass) override {
        const auto devices = presentUsbDevices();
        if (!devices) {
            return fail(kErrorNotEnoughMemory, std::nullopt);
        }
        std::vector<std::wstring> names;
        for (const auto& identity : *devices) {
            names.push_back(deviceInterfaceName(identity, interfaceClass));
        }
        lastErrorValue = 0;
        return names;
    }

    bool createThread(ThreadProc procedure, void* parameter, std::uint32_t& threadId) override {
        static std::atomic<std::uint32_t> nextId{1};
        try {
            std::thread([procedure, parameter] { procedure(parameter); }).detach();
        } catch (const std::system_error&) {
            return fail(kErrorNotEnoughMemory, false);
        }
        threadId = nextId++;
        lastErrorValue = 0;
        return true;
    }

private:
    bool unregister(std::uintptr_t& notification) override {
        auto& d = dispatcher();
        std::lock_guard lock(d.mutex);
        if (d.notifications.erase(std::exchange(notification, 0)) == 0) {
            return fail(kErrorInvalidHandle, false);
        }
        // The loop lets go of the monitor, and hears nothing more from it.
        wakeLocked(d);
        lastErrorValue = 0;
        return true;
    }
    void close(std::type_identity<DeviceNotification>, std::uintptr_t notification) override {
        auto& d = dispatcher();
        std::lock_guard lock(d.mutex);
        if (d.notifications.erase(notification) != 0) {
            wakeLocked(d);
        }
    }
};

} // namespace

ServiceManager& systemServiceManager() {
    static StandinServiceManager manager;
    return manager;
}

// Never destroyed: a notification held in a static closes through it at exit.
ServiceRuntime& systemServiceRuntime() {
    static auto* runtime = new StandinServiceRuntime;
    return *runtime;
}

} // namespace tarn::platform
