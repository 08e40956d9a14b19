// The Win32 seam under Wine's Service Control Manager: installation, query and removal through
// systemServiceManager(), and a run of this program as a service through the dispatcher,
// handler, status and notification calls of systemServiceRuntime().
//
// Without arguments it checks and prints "ok" or the first failure; with "service" it is the
// service, and records what happens to it in a log beside the executable.
#include "WineSupport.h"
#include "platform/Service.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <windows.h>

namespace {

using namespace tarn::platform;
using tarn::winetest::waitForServiceState;
using tarn::winetest::waitUntil;

constexpr wchar_t kName[] = L"TarnScmWineCheck";
const Guid kInterfaceClass = {
    0x5E1B9C3A, 0x7F24, 0x4D6B, {0xA1, 0xC8, 0x93, 0xE0, 0xF2, 0xB4, 0x7D, 0x15}};

std::wstring logPath() {
    auto module = systemServiceManager().moduleFileName().value_or(L"");
    return module.substr(0, module.find_last_of(L'\\') + 1) + L"scm-wine-service.log";
}

void append(const std::string& line) {
    std::ofstream out(std::filesystem::path(logPath()), std::ios::app);
    out << line << '\n';
}

ServiceRuntime::StatusHandle statusHandle = nullptr;
ServiceStatus status;
DeviceNotification notification;

void report(std::uint32_t state) {
    status.currentState = state;
    append("report " + std::to_string(state) + " " +
           std::to_string(systemServiceRuntime().setServiceStatus(statusHandle, status)));
}

std::uint32_t handler(std::uint32_t control, std::uint32_t, void*, void* context) {
    append("control " + std::to_string(control) + " context " + std::to_string(context == &status));
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        if (notification) {
            append("unregister " + std::to_string(notification.unregister()));
        }
        report(SERVICE_STOPPED);
    }
    return NO_ERROR;
}

void serviceMain(std::uint32_t argc, wchar_t** argv) {
    append("main " + std::to_string(argc) + " " + std::to_string(argv[0] == std::wstring(kName)));
    auto& runtime = systemServiceRuntime();
    statusHandle = runtime.registerServiceCtrlHandlerEx(kName, handler, &status);
    append("handler " + std::to_string(statusHandle != nullptr));
    status.serviceType = SERVICE_WIN32;
    report(SERVICE_START_PENDING);
    status.controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
    report(SERVICE_RUNNING);
    notification = runtime.registerDeviceNotification(statusHandle, kInterfaceClass);
    append("notification " + std::to_string(static_cast<bool>(notification)) + " error " +
           std::to_string(notification ? 0 : runtime.lastError()));
    std::uint32_t threadId = 0;
    const bool thread = runtime.createThread(
        [](void*) -> std::uint32_t {
            append("thread ran");
            return 0;
        },
        nullptr, threadId);
    append("thread " + std::to_string(thread) + " " + std::to_string(threadId != 0));
}

int runService() {
    const bool ok = systemServiceRuntime().startServiceCtrlDispatcher(kName, serviceMain);
    append("dispatcher " + std::to_string(ok));
    return ok ? 0 : 1;
}

std::string readLog() {
    std::ifstream in{std::filesystem::path(logPath())};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::printf("FAILED line %d: %s (last error %lu)\n", __LINE__, #condition,             \
                        GetLastError());                                                           \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

int check() {
    auto& manager = systemServiceManager();
    auto& runtime = systemServiceRuntime();
    DeleteFileW(logPath().c_str());

    // From a prompt the dispatcher cannot connect.
    CHECK(!runtime.startServiceCtrlDispatcher(kName, serviceMain));
    CHECK(runtime.lastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

    auto module = manager.moduleFileName();
    CHECK(module && module->size() > 3 && (*module)[1] == L':');
    {
        SC_HANDLE raw = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        tarn::winetest::removeLeftoverService(raw, kName);
        CloseServiceHandle(raw);
    }
    auto scm = manager.openSCManager(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT);
    CHECK(scm);
    const std::wstring commandLine = L"\"" + *module + L"\" service";
    ServiceConfig config{kName,
                         kName,
                         SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS,
                         SERVICE_DEMAND_START,
                         SERVICE_ERROR_NORMAL,
                         commandLine};
    {
        auto created = manager.createService(scm, config);
        CHECK(created);
        CHECK(!manager.createService(scm, config));
        CHECK(runtime.lastError() == ERROR_SERVICE_EXISTS);
    }
    auto service = manager.openService(scm, kName, DELETE | SERVICE_QUERY_STATUS);
    CHECK(service);
    ServiceStatus seen;
    CHECK(manager.queryServiceStatus(service, seen));
    CHECK(seen.currentState == SERVICE_STOPPED);

    // Run it as a service; starting and stopping are not in the seam, so the check calls
    // Windows itself.
    SC_HANDLE raw =
        OpenServiceW(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), kName,
                     SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE);
    CHECK(raw != nullptr);
    CHECK(StartServiceW(raw, 0, nullptr));
    CHECK(waitForServiceState(raw, SERVICE_RUNNING));
    CHECK(manager.queryServiceStatus(service, seen));
    CHECK(seen.currentState == SERVICE_RUNNING);
    CHECK(seen.controlsAccepted == (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));
    // Service main goes on after reporting running; the stop comes once it has returned, or
    // the process could end under it.
    CHECK(waitUntil([] { return readLog().find("thread 1 1\n") != std::string::npos; }));
    SERVICE_STATUS controlStatus{};
    // Wine may lose the answer when the service's process ends at once after reporting
    // stopped (a broken pipe); what counts is that the service reaches stopped.
    CHECK(ControlService(raw, SERVICE_CONTROL_STOP, &controlStatus) ||
          GetLastError() == ERROR_BROKEN_PIPE);
    CHECK(waitForServiceState(raw, SERVICE_STOPPED));
    CloseServiceHandle(raw);

    CHECK(manager.deleteService(service));
    service.reset();
    scm = manager.openSCManager(SC_MANAGER_CONNECT);
    CHECK(scm);
    // The service goes once its process has let go of it.
    CHECK(waitUntil([&] { return !manager.openService(scm, kName, SERVICE_QUERY_STATUS); }));
    CHECK(runtime.lastError() == ERROR_SERVICE_DOES_NOT_EXIST);

    CHECK(waitUntil([] { return readLog().find("dispatcher 1") != std::string::npos; }));
    const std::string log = readLog();
    std::printf("%s", log.c_str());
    // Not "report 1 1": the handler runs on a thread of its own, and the process may end, its
    // dispatcher returned, before that thread writes the stopped report's line. The stopped state
    // itself is checked above, from the Service Control Manager.
    for (const char* expected :
         {"main 1 1\n", "handler 1\n", "report 2 1\n", "report 4 1\n", "thread 1 1\n",
          "control 1 context 1\n", "report 3 1\n", "dispatcher 1\n"}) {
        CHECK(log.find(expected) != std::string::npos);
    }
    std::printf("ok\n");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"service") {
        return runService();
    }
    return check();
}
