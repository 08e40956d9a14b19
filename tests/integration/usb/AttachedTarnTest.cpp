// The service asked to upgrade the Tarns that stay attached: the real dfu-util against an
// emulated Tarn that was on the bus before the service started.
#include "ServiceOnBus.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace tarn::integration {
namespace {

using Texts = std::vector<std::string>;

const std::string kRequest = "control code: upgrade attached devices.";
const std::string kLook = "look for attached devices.";

class AttachedTarn : public ServiceOnBus {
protected:
    bool request() const { return service.sc({"control", kServiceName, "128"}).exitCode == 0; }
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
    ASSERT_NO_FATAL_FAILURE(startUnderBus({sleepScaleEntry(3)}));
    ASSERT_TRUE(request());
    ASSERT_TRUE(service.waitFor(download("SN0001")));
    ASSERT_TRUE(request());
    ASSERT_TRUE(request());
    // The look the two requests share, then the road's last arrival, find it up to date.
    ASSERT_TRUE(service.waitFor("return for latest build!", 2));

    // Nothing before the first request: attached all along, the Tarn was not looked at.
    EXPECT_LT(firstIndexOf(kRequest), firstIndexOf("TarnUpgradeProcess processing event"));
    // Both later requests came while the download pass ran, and cost one look.
    const Texts all = service.texts();
    const auto downloadAt = std::find(all.begin(), all.end(), download("SN0001"));
    const auto passEnd = std::find(downloadAt, all.end(), "TarnUpdateResult is 4");
    EXPECT_EQ(std::count(downloadAt, passEnd, kRequest), 2);
    EXPECT_EQ(service.countOf(kRequest), 3);
    EXPECT_EQ(service.countOf(kLook), 2);

    EXPECT_EQ(service.textsStartingWith("cmdline is "),
              (Texts{detach("SN0001"), download("SN0001")}));
    auto device = bus.device("SN0001");
    EXPECT_EQ(device["mode"], "runtime");
    EXPECT_EQ(device["version"], "0103");
    EXPECT_EQ(device["downloads"], "1");
}

TEST_F(AttachedTarn, NoneAttachedIsReported) {
    bus.ctl({"plug-other", "MOUSE01", "id=046d:c52b"});
    ASSERT_NO_FATAL_FAILURE(startUnderBus());
    ASSERT_TRUE(request());
    ASSERT_TRUE(service.waitFor("no attached Tarn found."));
    const Texts all = service.texts();
    EXPECT_EQ(Texts(all.begin() + static_cast<std::ptrdiff_t>(firstIndexOf(kRequest)), all.end()),
              (Texts{kRequest, kLook, "Guid = {5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}",
                     "arrival device is not Vantor Tarn.", "no attached Tarn found."}));
}

} // namespace
} // namespace tarn::integration
