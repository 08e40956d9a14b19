// The service asked to upgrade the Tarns that stay attached: the real dfu-util against an
// emulated Tarn that was on the bus before the service started.
#include "UsbBus.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace tarn::integration {
namespace {

using Texts = std::vector<std::string>;

const std::string kRequest = "control code: upgrade attached devices.";
const std::string kLook = "look for attached devices.";
const std::string kTool = "\"C:\\Program Files\\Vantor\\Tarn\\Services\\dfu-util.exe\"";

class AttachedTarn : public ::testing::Test {
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
        EXPECT_EQ(UsbBus::sanitizerReports(sysroot.root()), "");
    }

    // Under the bus, so that the service and its dfu-util see the devices already on it.
    void start(const std::vector<std::string>& environment = {}) {
        ASSERT_EQ(bus.run({scPath(), "start", kServiceName}, environment).exitCode, 0);
        ASSERT_TRUE(service.waitFor(kStarted));
    }
    void request() { ASSERT_EQ(service.sc({"control", kServiceName, "128"}).exitCode, 0); }
    std::size_t firstIndexOf(const std::string& prefix) const {
        const Texts all = service.texts();
        return static_cast<std::size_t>(
            std::find_if(all.begin(), all.end(),
                         [&](const std::string& t) { return t.rfind(prefix, 0) == 0; }) -
            all.begin());
    }
};

TEST_F(AttachedTarn, IsUpgradedOnRequestAndRequestsWaitingBehindAPassMerge) {
    bus.ctl({"plug", "SN0001", "mode=runtime", "version=0102"});
    // Three times the tests' factor: the download pass's fixed wait holds the worker long after
    // the device has rebooted, while the next requests come.
    start({sleepScaleEntry(3)});
    request();
    const std::string download = "cmdline is " + kTool +
                                 " -d 7c3e:5710,7c3e:5711 -S SN0001 -D "
                                 "\"C:\\Program Files\\Vantor\\Tarn\\Services\\fw-0103.dfu\"";
    ASSERT_TRUE(service.waitFor(download));
    request();
    request();
    // The look the two requests share, then the road's last arrival, find it up to date.
    ASSERT_TRUE(service.waitFor("return for latest build!", 2));

    // Nothing before the first request: attached all along, the Tarn was not looked at.
    EXPECT_LT(firstIndexOf(kRequest), firstIndexOf("TarnUpgradeProcess processing event"));
    // Both later requests came while the download pass ran, and cost one look.
    const Texts all = service.texts();
    const auto downloadAt = std::find(all.begin(), all.end(), download);
    const auto passEnd = std::find(downloadAt, all.end(), "TarnUpdateResult is 4");
    EXPECT_EQ(std::count(downloadAt, passEnd, kRequest), 2);
    EXPECT_EQ(service.countOf(kRequest), 3);
    EXPECT_EQ(service.countOf(kLook), 2);

    EXPECT_EQ(
        service.textsStartingWith("cmdline is "),
        (Texts{"cmdline is " + kTool + " -d 7c3e:5710,7c3e:5711 -S SN0001 -c 1 -e -f", download}));
    auto device = bus.device("SN0001");
    EXPECT_EQ(device["mode"], "runtime");
    EXPECT_EQ(device["version"], "0103");
    EXPECT_EQ(device["downloads"], "1");
}

TEST_F(AttachedTarn, NoneAttachedIsReported) {
    bus.ctl({"plug-other", "MOUSE01", "id=046d:c52b"});
    start();
    request();
    ASSERT_TRUE(service.waitFor("no attached Tarn found."));
    const Texts all = service.texts();
    EXPECT_EQ(Texts(all.begin() + static_cast<std::ptrdiff_t>(firstIndexOf(kRequest)), all.end()),
              (Texts{kRequest, kLook, "Guid = {5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}",
                     "arrival device is not Vantor Tarn.", "no attached Tarn found."}));
}

} // namespace
} // namespace tarn::integration
