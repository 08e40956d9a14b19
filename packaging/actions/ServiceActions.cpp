// The package's custom actions of its own, in a DLL that the package carries (its Binary table)
// and never installs. Each is deferred or a rollback action; its data (CustomActionData) is the
// full path of the installed service executable.
//
// WaitForServiceExit, run by the uninstallation between stopping the service and removing it,
// waits until no process runs the service executable any more. A service process that has
// reported "stopped" still runs for a moment: its dispatcher returns, and it goes on to install
// the service again, which fails as long as the service is registered. Were the removal to run
// in that moment, the dying process would register the service anew: an automatic-start service
// with critical error control, whose file the uninstallation is about to delete.
//
// RemoveServiceOnRollback undoes the installation's registration when a later step fails: it
// waits the same way, then removes the registration with the service's own removal, the one its
// "uninstall" runs. It does not run the installed executable for that, because some Windows
// Installer implementations have already deleted the installed files when rollback actions run.
#include "ProcessWait.h"
#include "eventlog/EventSources.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/Service.h"
#include "platform/StandardOutput.h"
#include "platform/win32/UniqueHandles.h"
#include "service/ServiceHost.h"

#include <string>
#include <windows.h>
// After windows.h:
#include <msi.h>
#include <msiquery.h>

namespace tarn {
namespace {

// The service's stop path takes milliseconds; a process still there after this is stuck, and the
// uninstallation fails (and rolls back) rather than remove a service whose process still runs.
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

std::wstring actionData(MSIHANDLE install) {
    wchar_t empty[1] = L"";
    DWORD size = 0;
    if (MsiGetPropertyW(install, L"CustomActionData", empty, &size) != ERROR_MORE_DATA) {
        return {};
    }
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, L"CustomActionData", value.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(size);
    return value;
}

// Waits until no process runs the executable at PATH; false when one still does at the limit.
bool waitForExit(MSIHANDLE install, const std::wstring& path) {
    const bool ended = packaging::waitUntilNoProcessRuns(path, kWaitLimitMs, [&](DWORD id) {
        log(install, L"waiting for process " + std::to_wstring(id) + L" of " + path);
    });
    log(install, ended ? L"no process of " + path + L" is running"
                       : L"a process of " + path + L" is still running");
    return ended;
}

} // namespace
} // namespace tarn

extern "C" __declspec(dllexport) UINT __stdcall WaitForServiceExit(MSIHANDLE install) {
    using namespace tarn;
    const std::wstring path = actionData(install);
    if (path.empty()) {
        log(install, L"WaitForServiceExit: no executable given");
        return ERROR_INSTALL_FAILURE;
    }
    return waitForExit(install, path) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

extern "C" __declspec(dllexport) UINT __stdcall RemoveServiceOnRollback(MSIHANDLE install) {
    using namespace tarn;
    const std::wstring path = actionData(install);
    if (!path.empty()) {
        waitForExit(install, path);
    }
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
