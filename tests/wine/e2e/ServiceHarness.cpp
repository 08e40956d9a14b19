// The whole service under Wine's Service Control Manager, with the real Win32 code.
//
// Wine does not deliver device-interface arrivals, so the simulator's announcements stand in:
// the driver watches tarn-dfu-sim.events and sends a user-defined control whenever it grows;
// in the service, the handler registered in place of the product's turns each new line into a
// real DEV_BROADCAST_DEVICEINTERFACE_W and hands it to the product's control handler, on the
// thread where the Service Control Manager calls handlers, as a device event would come.
//
//   harness drive STOPFILE   prepares the service directory, installs and starts the service,
//                            feeds it until STOPFILE exists, stops and removes it, and prints
//                            the device's state as the simulator shows it
//   harness service          the service itself (run by the Service Control Manager)
#include "WineSupport.h"
#include "eventlog/EventSources.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "platform/Service.h"
#include "platform/StandardOutput.h"
#include "service/ServiceHost.h"

// clang-format off
#include <windows.h>
#include <dbt.h> // needs the types of windows.h
// clang-format on

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tarn;
using winetest::ServiceDirectory;

// Asks the service to deliver the announcements it has not delivered yet. Not 128: that one
// is the product's own.
constexpr DWORD kFeedControl = 200;

constexpr GUID kInterfaceClass = {
    0x5E1B9C3A, 0x7F24, 0x4D6B, {0xA1, 0xC8, 0x93, 0xE0, 0xF2, 0xB4, 0x7D, 0x15}};

std::wstring eventsFile() {
    return ServiceDirectory::path(L"tarn-dfu-sim.events");
}

// Set once the control handler has returned from a stop. Wine calls handlers on a thread of
// its own, so the dispatcher may return while the stop is still being reported.
HANDLE stopHandled() {
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// The real runtime, except that the control handler it registers first looks for the feed
// control.
class FeedingRuntime final : public platform::ServiceRuntime {
public:
    explicit FeedingRuntime(platform::ServiceRuntime& real) : real_(real) {}

    bool startServiceCtrlDispatcher(const wchar_t* serviceName, ServiceMain main) override {
        return real_.startServiceCtrlDispatcher(serviceName, main);
    }
    std::uint32_t lastError() override { return real_.lastError(); }
    StatusHandle registerServiceCtrlHandlerEx(const wchar_t* serviceName, HandlerEx handler,
                                              void* context) override {
        handler_ = handler;
        return real_.registerServiceCtrlHandlerEx(serviceName, relay, context);
    }
    bool setServiceStatus(StatusHandle handle, const platform::ServiceStatus& status) override {
        return real_.setServiceStatus(handle, status);
    }
    platform::DeviceNotification
    registerDeviceNotification(StatusHandle recipient,
                               const platform::Guid& interfaceClass) override {
        return real_.registerDeviceNotification(recipient, interfaceClass);
    }
    std::optional<std::vector<std::wstring>>
    presentDeviceInterfaces(const platform::Guid& interfaceClass) override {
        return real_.presentDeviceInterfaces(interfaceClass);
    }
    bool createThread(ThreadProc procedure, void* parameter, std::uint32_t& threadId) override {
        return real_.createThread(procedure, parameter, threadId);
    }

private:
    static std::uint32_t relay(std::uint32_t control, std::uint32_t eventType, void* eventData,
                               void* context) {
        if (control == kFeedControl) {
            feed(context);
            return NO_ERROR;
        }
        const std::uint32_t result = handler_(control, eventType, eventData, context);
        if (control == SERVICE_CONTROL_STOP) {
            SetEvent(stopHandled());
        }
        return result;
    }

    // Every announcement not yet delivered, as the device-event control Windows would send.
    static void feed(void* context) {
        const auto lines = ServiceDirectory::announcements();
        for (; delivered_ < lines.size(); ++delivered_) {
            const std::string& line = lines[delivered_];
            const std::size_t blank = line.find(' ');
            if (blank == std::string::npos) {
                continue;
            }
            const std::string kind = line.substr(0, blank);
            const std::wstring name = winetest::widen(line.substr(blank + 1));
            // The name runs on past the end of the struct, as far as dbcc_size says.
            std::vector<std::byte> storage(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                                           (name.size() + 1) * sizeof(wchar_t));
            auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
            record->dbcc_size = static_cast<DWORD>(storage.size());
            record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            record->dbcc_reserved = 0;
            record->dbcc_classguid = kInterfaceClass;
            std::memcpy(record->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
            const DWORD type = kind == "arrival" ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
            handler_(SERVICE_CONTROL_DEVICEEVENT, type, record, context);
        }
    }

    platform::ServiceRuntime& real_;
    static inline HandlerEx handler_ = nullptr;
    static inline std::size_t delivered_ = 0;
};

int runService() {
    // As the product's main builds it, but with a clock that skips the fixed waits; never
    // destroyed, since the worker may still use them when the process ends.
    auto* clock = new winetest::FastClock;
    auto* runtime = new FeedingRuntime(platform::systemServiceRuntime());
    auto* engine = new upgrade::EngineContext{
        eventlog::engineEventSource(), platform::processStandardOutput(),
        platform::systemProcesses(), platform::systemFileSystem(), *clock};
    auto* host = new service::HostContext{eventlog::serviceEventSource(),
                                          platform::systemServiceManager(),
                                          *runtime,
                                          *engine,
                                          &platform::systemRegistry(),
                                          L"" TARN_FILE_VERSION};
    service::setHostContext(host);
    // The dispatcher as the process entry enters it. The entry's installation step after the
    // stop is left out: it would race the driver's removal of the service.
    const bool ran =
        runtime->startServiceCtrlDispatcher(service::kServiceName, service::serviceMain);
    if (ran) {
        WaitForSingleObject(stopHandled(), 10000);
    }
    std::fflush(nullptr);
    std::_Exit(ran ? 0 : 1);
}

std::size_t announcementCount() {
    return ServiceDirectory::announcements().size();
}

int fail(const char* what) {
    std::printf("FAILED: %s (last error %lu)\n", what, GetLastError());
    std::fflush(stdout);
    return 1;
}

int drive(const std::wstring& stopFile) {
    ServiceDirectory services;
    if (!services.installSimulator(winetest::windowsPathOf(TARN_SIMULATOR))) {
        return fail("copy the simulator");
    }
    if (!ServiceDirectory::sim(L"add SN0001 --mode runtime --version 0102") ||
        !ServiceDirectory::makePackage(L"fw-0103.dfu", L"0103")) {
        return fail("set up the simulator");
    }

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return fail("OpenSCManagerW");
    }
    winetest::removeLeftoverService(manager, service::kServiceName);
    wchar_t module[MAX_PATH];
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    const std::wstring binary = winetest::quoted(module) + L" service";
    SC_HANDLE service =
        CreateServiceW(manager, service::kServiceName, service::kServiceName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        return fail("CreateServiceW");
    }
    int result = 0;
    HANDLE process = nullptr; // the service's process, to see it end
    if (!StartServiceW(service, 0, nullptr) ||
        !winetest::waitForServiceState(service, SERVICE_RUNNING)) {
        result = fail("start the service");
    } else {
        SERVICE_STATUS_PROCESS running{};
        DWORD size = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&running),
                                 sizeof running, &size)) {
            process = OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId);
        }
        // The Tarn is plugged in, in runtime mode.
        {
            std::FILE* events = _wfopen(eventsFile().c_str(), L"ab");
            std::fputs("arrival \\\\?\\USB#VID_7C3E&PID_5710#SN0001#"
                       "{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}\n",
                       events);
            std::fclose(events);
        }
        std::size_t sent = 0;
        const ULONGLONG giveUp = GetTickCount64() + 180000;
        while (!ServiceDirectory::exists(stopFile) && GetTickCount64() < giveUp) {
            const std::size_t count = announcementCount();
            if (count > sent) {
                SERVICE_STATUS status{};
                if (!ControlService(service, kFeedControl, &status)) {
                    result = fail("ControlService with the feed control");
                    break;
                }
                sent = count;
            }
            Sleep(50);
        }
        std::printf("announcements %zu\n", sent);
        // Wine may lose the answer when the stopped service's process ends at once after
        // its stopped report (a broken pipe); what counts is that it reaches stopped.
        SERVICE_STATUS status{};
        const bool sentStop = ControlService(service, SERVICE_CONTROL_STOP, &status) ||
                              GetLastError() == ERROR_BROKEN_PIPE;
        if (!sentStop || !winetest::waitForServiceState(service, SERVICE_STOPPED)) {
            result = fail("stop the service");
        }
    }
    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    const auto shown = ServiceDirectory::sim(L"show SN0001");
    std::printf("device %s\n", shown ? shown->c_str() : "(show failed)");
    std::fflush(stdout);
    // The stopped service's process ends before its folder goes.
    if (process != nullptr) {
        if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) {
            result = fail("the service's process did not end");
        }
        CloseHandle(process);
    }
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "service") == 0) {
        return runService();
    }
    if (argc == 3 && std::strcmp(argv[1], "drive") == 0) {
        return drive(winetest::widen(argv[2]));
    }
    std::printf("usage: harness drive STOPFILE | harness service\n");
    return 2;
}
