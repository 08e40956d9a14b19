// The service with the real dfu-util beside an emulated bus: installed on a temporary system
// drive with the dfu-util wrapper and a firmware package 0103, stopped at the end.
#pragma once

#include "UsbBus.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tarn::integration {

class ServiceOnBus : public ::testing::Test {
protected:
    SimulatorSysRoot sysroot;
    ServiceUnderTest service{sysroot};
    UsbBus bus;

    void SetUp() override {
        UsbBus::installTool(sysroot.services());
        sysroot.makePackage("fw-0103.dfu", "0103");
        ASSERT_EQ(service.direct({"install"}).exitCode, 0);
    }
    void TearDown() override {
        service.sc({"stop", kServiceName});
        // Under the bus's preload a sanitizer reports on the service's standard error, which
        // tarn-sc keeps in the service's log, rather than in a file of its own.
        const std::string output = readFile(sysroot.root() / "Windows" / "System32" / "LogFiles" /
                                            "Services" / (std::string(kServiceName) + ".log"));
        EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
        EXPECT_EQ(output.find("runtime error"), std::string::npos) << output;
    }

    // Started under the bus's preload, the service hears the bus's plugs through udev, and so
    // does every dfu-util it runs. `environment` ("NAME=value") is for its process alone.
    void startUnderBus(const std::vector<std::string>& environment = {}) {
        ASSERT_EQ(bus.run({scPath(), "start", kServiceName}, environment).exitCode, 0);
        ASSERT_TRUE(service.waitFor(kStarted));
    }

    // The detach and download command lines as the service logs them.
    static std::string detach(const std::string& serial) {
        return "cmdline is " + tool() + " -d 7c3e:5710,7c3e:5711 -S " + serial + " -c 1 -e -f";
    }
    static std::string download(const std::string& serial) {
        return "cmdline is " + tool() + " -d 7c3e:5710,7c3e:5711 -S " + serial +
               " -D \"C:\\Program Files\\Vantor\\Tarn\\Services\\fw-0103.dfu\"";
    }

private:
    static std::string tool() {
        return "\"C:\\Program Files\\Vantor\\Tarn\\Services\\dfu-util.exe\"";
    }
};

} // namespace tarn::integration
