// The process entry: run as the service, install it, or remove it.
#include "service/ServiceHost.h"

#include <cstring>

namespace tarn::service {
namespace {

using eventlog::EventType;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = -1;

int installPath(HostContext& host) {
    if (installService(host) == 0) {
        host.log.reportEvent(EventType::Success, L"service install success.");
        return kExitSuccess;
    }
    host.log.reportEvent(EventType::Error, L"service install failed.");
    return kExitFailure;
}

} // namespace

int processEntry(HostContext& host, int argc, char** argv) {
    auto& log = host.log;
    if (argc == 1) {
        log.reportEvent(EventType::Warning, L"run Tarn windows update normally.");
        if (host.runtime.startServiceCtrlDispatcher(kServiceName, serviceMain)) {
            log.reportEvent(EventType::Success, L"run service success");
        } else {
            const auto error = static_cast<std::int32_t>(host.runtime.lastError());
            log.reportEvent(EventType::Error,
                            L"start service control dispatcher failed, GetLastErrorCode: %d",
                            error);
        }
        // Started from a prompt, or stopped: either way make sure the service is installed.
        log.reportEvent(EventType::Warning, L"auto-install service on boot.");
        return installPath(host);
    }
    // Exact comparisons: no case folding, no trimming.
    if (argc == 2 && std::strcmp(argv[1], "install") == 0) {
        log.reportEvent(EventType::Warning, L"service start install.");
        return installPath(host);
    }
    if (argc == 2 && std::strcmp(argv[1], "uninstall") == 0) {
        if (uninstallService(host) == 0) {
            log.reportEvent(EventType::Success, L"service uninstall success.");
            return kExitSuccess;
        }
        log.reportEvent(EventType::Error, L"service uninstall failed.");
        return kExitFailure;
    }
    log.reportEvent(EventType::Error, L"service start with bad parameters.");
    return kExitFailure;
}

} // namespace tarn::service
