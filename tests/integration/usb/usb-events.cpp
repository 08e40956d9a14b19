// What the stand-in's USB monitor hears, for the tests of the emulated bus: "ready" once it
// listens, then one line per event, "arrival" or "removal" with the identity the service would
// build its device name from (vendor:product, serial, the kernel's name). Runs until killed.
#include "platform/standin/UsbDeviceMonitor.h"

#include <cstdio>
#include <poll.h>

int main() {
    using tarn::platform::standin::UsbDeviceMonitor;
    const auto monitor = UsbDeviceMonitor::open();
    if (!monitor) {
        std::fputs("no monitor\n", stderr);
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    while (true) {
        pollfd entry{monitor->fd(), POLLIN, 0};
        if (::poll(&entry, 1, -1) < 0) {
            continue;
        }
        for (const auto& event : monitor->receive()) {
            const auto& id = event.identity;
            std::printf("%s %04x:%04x %s %s\n",
                        event.eventType == tarn::platform::kDeviceArrival ? "arrival" : "removal",
                        id.vendor, id.product, id.serial.c_str(), id.sysname.c_str());
        }
        std::fflush(stdout);
    }
}
