// Registering the executable as the service, and removing the registration.
#include "portable/WindowsCommandLine.h"
#include "service/ServiceHost.h"

namespace tarn::service {
namespace {

using eventlog::EventType;

// How long a shutdown waits for a pass under way: a download's 200 s pause and the tool's end.
constexpr std::uint32_t kPreshutdownTimeoutMs = 240000;
// After any failure, crashes and failed starts alike, a restart a minute later; a day without
// one forgets the count.
constexpr std::uint32_t kRestartDelayMs = 60000;
constexpr std::uint32_t kFailureResetSeconds = 86400;

// The settings beyond CreateServiceW. One the system cannot keep is logged and fails nothing:
// the service runs without it as it did before.
void configureService(HostContext& host, const platform::ServiceHandle& service) {
    auto& log = host.log;
    if (!host.manager.changePreshutdownTimeout(service, kPreshutdownTimeoutMs)) {
        log.reportEvent(EventType::Warning,
                        L"set pre-shutdown time-out failed, GetLastErrorCode: %u",
                        host.runtime.lastError());
    }
    const platform::FailureAction restart{platform::scm::kActionRestart, kRestartDelayMs};
    if (!host.manager.changeFailureActions(service,
                                           {kFailureResetSeconds, {restart, restart, restart}})) {
        log.reportEvent(EventType::Warning, L"set failure actions failed, GetLastErrorCode: %u",
                        host.runtime.lastError());
    }
    if (!host.manager.changeFailureActionsOnNonCrashFailures(service, true)) {
        log.reportEvent(EventType::Warning,
                        L"set failure actions flag failed, GetLastErrorCode: %u",
                        host.runtime.lastError());
    }
}

} // namespace

int installService(HostContext& host) {
    auto& log = host.log;
    auto manager = host.manager.openSCManager(platform::scm::kManagerCreateService);
    if (!manager) {
        log.reportEvent(EventType::Error, L"open service control manager failed.");
        return 1;
    }
    const auto modulePath = host.manager.moduleFileName();
    if (!modulePath) {
        log.reportEvent(EventType::Error, L"get module file name failed.");
        return 1;
    }
    // A path cut at the buffer's end holds the terminating NUL in its last place: the path
    // ends there, or the closing quote would land after the NUL.
    const std::wstring_view path(*modulePath);
    const std::wstring_view wholePath = path.substr(0, path.find(L'\0'));
    // Quoted: an unquoted path under "C:\Program Files" lets whoever can write
    // "C:\Program.exe" run as LocalSystem at boot.
    const platform::ServiceConfig config{
        kServiceName, kServiceName, platform::scm::kServiceAllAccess,
        platform::scm::kServiceWin32OwnProcess, platform::scm::kServiceAutoStart,
        // Normal, not critical: a start that fails at boot (a
        // quarantined or blocked executable) is logged, and
        // Windows boots on instead of restarting with the
        // last-known-good configuration.
        platform::scm::kServiceErrorNormal, portable::quoteProgram(wholePath)};
    auto service = host.manager.createService(manager, config);
    if (!service) {
        log.reportEvent(EventType::Error, L"create service failed.");
        return 1;
    }
    log.reportEvent(EventType::Success, L"create service success.");
    configureService(host, service);
    service.reset(); // the service's handle first, then the manager's
    return 0;
}

int uninstallService(HostContext& host) {
    auto& log = host.log;
    auto manager = host.manager.openSCManager(platform::scm::kManagerConnect);
    if (!manager) {
        log.reportEvent(EventType::Error, L"open service control manager failed.");
        return 1;
    }
    auto service = host.manager.openService(
        manager, kServiceName, platform::scm::kDelete | platform::scm::kServiceQueryStatus);
    if (!service) {
        log.reportEvent(EventType::Error, L"Open Tarn windows update service failed.");
        return 1;
    }
    platform::ServiceStatus status;
    if (!host.manager.queryServiceStatus(service, status)) {
        log.reportEvent(EventType::Error, L"query service status failed.");
        service.reset();
        return 1;
    }
    if (status.currentState != platform::scm::kStateStopped) {
        log.reportEvent(EventType::Error, L"service not stopped, can not delete this service.");
        service.reset();
        return 1;
    }
    log.reportEvent(EventType::Warning, L"service stopped.");
    const bool deleted = host.manager.deleteService(service);
    log.reportEvent(deleted ? EventType::Success : EventType::Error,
                    deleted ? L"service delete success." : L"service delete failed.");
    service.reset();
    return deleted ? 0 : 1;
}

} // namespace tarn::service
