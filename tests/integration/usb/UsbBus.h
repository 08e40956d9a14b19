// The emulated Tarn's bus (tools/usb-tarn) for the tests: a running emulator with its testbed,
// commands to plug and unplug devices, and what the devices report.
#pragma once

#include "IntegrationSupport.h"
#include "TestSupport.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tarn::integration {

class UsbBus {
public:
    // Starts the emulator and returns once it serves; stops it and removes its testbed at the
    // end.
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // One control command (plug, plug-other, unplug, set); throws when it is refused.
    void ctl(const std::vector<std::string>& words) const;
    // A device as the emulator reports it (mode, version, present, devnum, downloads, ...).
    std::map<std::string, std::string> device(const std::string& serial) const;
    // The last whole image the device took, empty when none.
    std::string image(const std::string& serial) const;
    // A command line that runs `argv` so that it sees the bus: under the preload libraries with
    // this testbed.
    std::vector<std::string> under(const std::vector<std::string>& argv) const;
    // Runs a program that sees the bus; `environment` ("NAME=value") is for it alone.
    CommandResult run(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment = {}) const;
    // The processes still running `program` on this bus.
    std::vector<pid_t> running(const std::string& program) const;
    // Where the emulator keeps its control socket, state and images.
    const std::filesystem::path& directory() const { return directory_; }
    // Puts the dfu-util wrapper into a service directory as dfu-util.exe.
    static void installTool(const std::filesystem::path& services);
    // The variables a process needs to see the bus.
    std::map<std::string, std::string> environment() const;

private:
    std::filesystem::path directory_;
    std::string umockdevDir_;
    std::unique_ptr<Child> server_;
};

} // namespace tarn::integration
