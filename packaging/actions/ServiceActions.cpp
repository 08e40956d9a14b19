// The package's custom actions of its own, in a DLL that the package carries (its Binary table)
// and never installs. The ones in the installation's script take their data from
// CustomActionData.
//
// A service process that has reported "stopped" still runs for a moment: its dispatcher
// returns, and it goes on to install the service again, which fails as long as the service is
// registered. Were the service's file replaced or its registration removed in that moment, the
// dying process would hold the file or register the service anew: an automatic-start service
// with critical error control, whose file the uninstallation is about to delete. So whenever the
// installation stops the service (a removal, a repair, an upgrade, a rollback), it first takes
// the service's process from the Service Control Manager, while the service still runs, and
// then waits for that process alone: a copy of the executable that anyone else runs is none of
// its business.
//
// FindServiceProcess, an immediate action, takes the process while the installation's script
// is made (the script stops the service later) and hands it to WaitForServiceExit, which runs
// in the script after the stop, before any file is replaced or removed. Its data: the process
// ID, the moment it was taken and the executable's path, separated by '|'.
//
// StopServiceOnRollback undoes the service's start when a failed installation is rolled back.
// A rollback runs backwards, so this action, placed after StartServices, comes before the
// installer's own stop, while the service still runs: it takes the service's process, stops the
// service and waits for that process. RemoveServiceOnRollback then removes the registration with
// the service's own removal (the one its "uninstall" runs), not by running the installed
// executable, because some Windows Installer implementations have already deleted the installed
// files when rollback actions run.
//
// UpgradeAttachedTarns, after StartServices, asks the service it has just started to look for the
// Tarns attached now: the service hears only of arrivals, and a Tarn that stays plugged in would
// otherwise keep its old firmware although the package brought new. A service that does not
// take the request fails nothing: the log says so, and the Tarn is upgraded at its next arrival.
#include "ProcessWait.h"
#include "eventlog/EventSources.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/Service.h"
#include "platform/StandardOutput.h"
#include "platform/win32/UniqueHandles.h"
#include "service/ServiceHost.h"
#include "service/UpgradeService.h"

#include <cwchar>
#include <string>
#include <vector>
#include <windows.h>
// After windows.h:
#include <msi.h>
#include <msiquery.h>

namespace tarn {
namespace {

// The service's stop path takes milliseconds; a process still there after this is stuck, and the
// installation fails (and rolls back) rather than replace the files of a process that still runs.
constexpr DWORD kWaitLimitMs = 30000;

struct MsiHandleTraits {
    static MSIHANDLE empty() { return 0; }
    static bool isEmpty(MSIHANDLE h) { return h == 0; }
    static void close(MSIHANDLE h) { MsiCloseHandle(h); }
};
using UniqueMsiHandle = platform::win32::UniqueResource<MSIHANDLE, MsiHandleTraits>;

// A line in the installation's log (msiexec /l*v).
void log(MSIHANDLE install, const std::wstring& text) {
    const UniqueMsiHandle record(MsiCreateRecord(0));
    MsiRecordSetStringW(record.get(), 0, text.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

std::wstring property(MSIHANDLE install, const wchar_t* name) {
    wchar_t empty[1] = L"";
    DWORD size = 0;
    if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) {
        return {};
    }
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(size);
    return value;
}

// The fields of an action's data, separated by '|' (which no path holds).
std::vector<std::wstring> fields(const std::wstring& data) {
    std::vector<std::wstring> result;
    std::size_t begin = 0;
    for (std::size_t end; (end = data.find(L'|', begin)) != std::wstring::npos; begin = end + 1) {
        result.push_back(data.substr(begin, end - begin));
    }
    result.push_back(data.substr(begin));
    return result;
}

// Waits until PROCESS, the service's, has ended; false when it still runs at the limit or
// cannot be examined.
bool waitForExit(MSIHANDLE install, const packaging::ServiceProcess& process,
                 const std::wstring& path) {
    using packaging::WaitOutcome;
    const std::wstring name = L"the service's process " + std::to_wstring(process.id);
    const WaitOutcome outcome = packaging::waitForProcess(process, path, kWaitLimitMs, [&](DWORD) {
        log(install, L"waiting for " + name + L" of " + path);
    });
    log(install, process.id == 0                     ? L"the service had no process"
                 : outcome == WaitOutcome::ended     ? name + L" has ended"
                 : outcome == WaitOutcome::stillRuns ? name + L" is still running"
                                                     : name + L" cannot be examined");
    return outcome == WaitOutcome::ended;
}

} // namespace
} // namespace tarn

// WaitForServiceExitData has set WaitForServiceExit's data to the executable's path; this puts
// the process in front.
extern "C" __declspec(dllexport) UINT __stdcall FindServiceProcess(MSIHANDLE install) {
    using namespace tarn;
    const auto process = packaging::serviceProcess(service::kServiceName);
    if (!process) {
        log(install, L"FindServiceProcess: the Service Control Manager cannot say");
        return ERROR_INSTALL_FAILURE;
    }
    const std::wstring data = std::to_wstring(process->id) + L'|' +
                              std::to_wstring(process->namedAt) + L'|' +
                              property(install, L"WaitForServiceExit");
    return MsiSetPropertyW(install, L"WaitForServiceExit", data.c_str());
}

extern "C" __declspec(dllexport) UINT __stdcall WaitForServiceExit(MSIHANDLE install) {
    using namespace tarn;
    const std::vector<std::wstring> data = fields(property(install, L"CustomActionData"));
    if (data.size() != 3 || data[2].empty()) {
        log(install, L"WaitForServiceExit: no process and executable given");
        return ERROR_INSTALL_FAILURE;
    }
    const packaging::ServiceProcess process{std::wcstoul(data[0].c_str(), nullptr, 10),
                                            std::wcstoull(data[1].c_str(), nullptr, 10)};
    return waitForExit(install, process, data[2]) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Its data: the executable's path.
extern "C" __declspec(dllexport) UINT __stdcall StopServiceOnRollback(MSIHANDLE install) {
    using namespace tarn;
    const auto process = packaging::serviceProcess(service::kServiceName, true);
    if (!process) {
        log(install, L"StopServiceOnRollback: the Service Control Manager cannot say");
    } else {
        waitForExit(install, *process, property(install, L"CustomActionData"));
    }
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RemoveServiceOnRollback(MSIHANDLE install) {
    using namespace tarn;
    eventlog::EventLogReporter events(platform::systemEventLog(), eventlog::kServiceSourceName,
                                      eventlog::kServiceFirstEventId);
    upgrade::EngineContext engine{events, platform::processStandardOutput(),
                                  platform::systemProcesses(), platform::systemFileSystem(),
                                  platform::systemClock()};
    service::HostContext host{events, platform::systemServiceManager(),
                              platform::systemServiceRuntime(), engine};
    const int result = service::uninstallService(host);
    log(install, result == 0 ? L"RemoveServiceOnRollback: the service's registration is removed"
                             : L"RemoveServiceOnRollback: no registration removed");
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall UpgradeAttachedTarns(MSIHANDLE install) {
    using namespace tarn;
    using platform::win32::UniqueServiceHandle;
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const UniqueServiceHandle service(
        manager ? OpenServiceW(manager.get(), service::kServiceName, SERVICE_USER_DEFINED_CONTROL)
                : nullptr);
    SERVICE_STATUS status{};
    const bool sent =
        service && ControlService(service.get(), service::kControlUpgradeAttached, &status);
    log(install, sent ? L"UpgradeAttachedTarns: the service looks for the attached Tarns"
                      : L"UpgradeAttachedTarns: the service did not take the request: " +
                            std::to_wstring(GetLastError()));
    return ERROR_SUCCESS;
}
