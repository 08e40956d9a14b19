// Registering the executable as the service, and removing the registration.
#include "service/ServiceHost.h"
#include "upgrade/CommandLines.h"

namespace tarn::service {
namespace {

using eventlog::EventType;

constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceAutoStart = 2;
constexpr std::uint32_t kServiceErrorCritical = 3;

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
    const platform::ServiceConfig config{kServiceName,
                                         kServiceName,
                                         platform::scm::kServiceAllAccess,
                                         kServiceWin32OwnProcess,
                                         kServiceAutoStart,
                                         kServiceErrorCritical,
                                         upgrade::quoteProgram(wholePath)};
    auto service = host.manager.createService(*manager, config);
    if (!service) {
        log.reportEvent(EventType::Error, L"create service failed.");
        return 1;
    }
    log.reportEvent(EventType::Success, L"create service success.");
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
        *manager, kServiceName, platform::scm::kDelete | platform::scm::kServiceQueryStatus);
    if (!service) {
        log.reportEvent(EventType::Error, L"Open Tarn windows update service failed.");
        return 1;
    }
    platform::ServiceStatus status;
    if (!host.manager.queryServiceStatus(*service, status)) {
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
    const bool deleted = host.manager.deleteService(*service);
    log.reportEvent(deleted ? EventType::Success : EventType::Error,
                    deleted ? L"service delete success." : L"service delete failed.");
    service.reset();
    return deleted ? 0 : 1;
}

} // namespace tarn::service
