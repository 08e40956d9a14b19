// VantorTarnWindowsUpdateService.exe: the service, its own installer and its own remover. Its
// main, one per system, chooses the runner's bounds.
#include "eventlog/EventSources.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "platform/Service.h"
#include "platform/StandardOutput.h"
#include "service/ServiceHost.h"

#include <cstdio>
#include <cstdlib>

int tarn::service::runServiceProcess(int argc, char** argv, const upgrade::RunnerBounds& bounds) {
    // Never destroyed: the worker thread may still be using them when the process ends.
    auto* engine = new upgrade::EngineContext{
        eventlog::engineEventSource(), platform::processStandardOutput(),
        platform::systemProcesses(), platform::systemFileSystem(), platform::systemClock()};
    engine->bounds = bounds;
    auto* host =
        new service::HostContext{eventlog::serviceEventSource(), platform::systemServiceManager(),
                                 platform::systemServiceRuntime(), *engine};
    host->registry = &platform::systemRegistry();
    host->serviceVersion = L"" TARN_FILE_VERSION;
    service::setHostContext(host);
    const int code = service::processEntry(*host, argc, argv);
    // The worker has no exit: end the process without running destructors under its feet.
    std::fflush(nullptr);
    std::_Exit(code);
}
