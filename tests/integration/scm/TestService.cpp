// A service of the tests' own, on the seam directly: it records every control it receives in
// $TARN_SYSROOT/controls.log, one line each, and what its dispatcher did in service.log.
//
// Controls with a meaning of their own here: 1 stops; 128 unregisters the device
// notification; 129 registers it again; 130 returns 1234 from the handler.
#include "platform/Service.h"
#include "platform/standin/SysRoot.h"
#include "portable/Utf8.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <memory>
#include <string>

namespace {

using namespace tarn::platform;
using namespace tarn::portable;

constexpr wchar_t kName[] = L"TarnScmTestService";
const Guid kInterfaceClass = {
    0x5E1B9C3A, 0x7F24, 0x4D6B, {0xA1, 0xC8, 0x93, 0xE0, 0xF2, 0xB4, 0x7D, 0x15}};

ServiceRuntime::StatusHandle statusHandle = nullptr;
ServiceStatus status;
DeviceNotification notification;

void append(const char* file, const std::string& line) {
    std::ofstream out(*standin::sysRoot() / file, std::ios::app);
    out << line << '\n';
}

void report(std::uint32_t state) {
    status.currentState = state;
    systemServiceRuntime().setServiceStatus(statusHandle, status);
}

std::uint32_t handler(std::uint32_t control, std::uint32_t eventType, void* eventData, void*) {
    std::string line = "control=" + std::to_string(control) + " type=" + std::to_string(eventType);
    if (eventData != nullptr) {
        const auto* record = static_cast<const DeviceInterfaceRecord*>(eventData);
        line += " size=" + std::to_string(record->size) +
                " devicetype=" + std::to_string(record->deviceType) +
                " length=" + std::to_string(std::wcslen(record->name)) +
                " name=" + toUtf8(record->name);
    }
    append("controls.log", line);
    switch (control) {
    case 1:
        report(3);
        if (notification) {
            notification.unregister();
        }
        report(1);
        return 0;
    case 128:
        notification.unregister();
        return 0;
    case 129:
        notification =
            systemServiceRuntime().registerDeviceNotification(statusHandle, kInterfaceClass);
        return 0;
    case 130:
        return 1234;
    default:
        return 0;
    }
}

void serviceMain(std::uint32_t argc, wchar_t** argv) {
    auto module = systemServiceManager().moduleFileName();
    append("service.log", "module=" + (module ? toUtf8(*module) : std::string("none")));
    append("service.log", "main argc=" + std::to_string(argc) + " argv0=" + toUtf8(argv[0]));
    auto& runtime = systemServiceRuntime();
    // Outside the dispatcher's service the registration must be refused.
    append("service.log",
           std::string("other-name-handler=") +
               (runtime.registerServiceCtrlHandlerEx(L"Other", handler, nullptr) ? "accepted"
                                                                                 : "refused"));
    statusHandle = runtime.registerServiceCtrlHandlerEx(kName, handler, nullptr);
    status.serviceType = 0x30;
    report(2);
    status.controlsAccepted = 0x101;
    report(4);
    if (std::getenv("TEST_SERVICE_NO_NOTIFICATION") == nullptr) {
        notification = runtime.registerDeviceNotification(statusHandle, kInterfaceClass);
    }
    std::uint32_t threadId = 0;
    runtime.createThread([](void*) -> std::uint32_t { return 0; }, nullptr, threadId);
    append("service.log", "thread=" + std::to_string(threadId));
}

} // namespace

int main() {
    auto& runtime = systemServiceRuntime();
    const bool ok = runtime.startServiceCtrlDispatcher(kName, serviceMain);
    append("service.log", "dispatcher=" + std::to_string(ok) +
                              " error=" + std::to_string(ok ? 0 : runtime.lastError()));
    return ok ? 0 : 3;
}
