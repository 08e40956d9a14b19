// Several Tarns on one PC, the real dfu-util against emulated Tarns: one Tarn per pass, each old
// one written exactly once, each current one never, and none left in DFU mode.
#include "ServiceOnBus.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace tarn::integration {
namespace {

// Attached before the start, plugged with the others, or once the service has served those.
enum When { kBeforeStart, kAtOnce, kLater };
struct Tarn {
    When when;
    std::string serial, port, mode = "runtime", version = "0102", bootloader = "";
    bool old() const { return mode == "dfu" || version < "0103"; }
};
struct Arrangement {
    const char* name;
    std::vector<Tarn> tarns;
    bool request = false; // control 128 once all are plugged
};

class SeveralTarns : public ServiceOnBus, public ::testing::WithParamInterface<Arrangement> {
protected:
    // Every arrival the road makes has been heard and every event queued has had its pass.
    bool idle(int arrivals) const {
        const int ended = service.countOf(kDone) +
                          service.countOf("TarnUpgradeProcess.initDfuDevList failed!") +
                          service.countOf("TarnUpgradeProcess.doUpgrade failed!");
        return service.countOf("dwEventType: 32768") >= arrivals &&
               service.countOf("arrival device is Vantor Tarn.") == ended;
    }
};

TEST_P(SeveralTarns, EveryTarnEndsAtThePackagesVersion) {
    const Arrangement& a = GetParam();
    const auto plug = [&](const Tarn& t) {
        bus.ctl({"plug", t.serial, "port=" + t.port, "mode=" + t.mode, "version=" + t.version,
                 "bootloader=" + (t.bootloader.empty() ? t.version : t.bootloader)});
    };
    // A plug while the service runs is one arrival; each detach and each download one more.
    int arrivals = 0;
    for (const auto& t : a.tarns) {
        arrivals += (t.when == kBeforeStart ? 0 : 1) + (t.old() ? (t.mode == "dfu" ? 1 : 2) : 0);
        if (t.when == kBeforeStart) {
            plug(t);
        }
    }
    ASSERT_NO_FATAL_FAILURE(startUnderBus());
    int plugged = 0;
    for (const auto& t : a.tarns) {
        if (t.when == kLater) {
            ASSERT_TRUE(waitUntil([&] { return idle(plugged); }));
        }
        if (t.when != kBeforeStart) {
            plug(t);
            ++plugged;
        }
    }
    if (a.request) {
        ASSERT_EQ(service.sc({"control", kServiceName, "128"}).exitCode, 0);
    }
    ASSERT_TRUE(waitUntil([&] { return idle(arrivals); }, std::chrono::minutes(3)));

    // At the tests' pace the detach's waits (80 ms) are shorter than a Tarn's leaving the bus, so
    // the next pass may still list a Tarn just detached in runtime mode and detach it again, or
    // find it back in DFU mode and have the detach refused (at the real pace, 8 s against 1 s,
    // neither happens): each old Tarn gets at least one detach, and every one exactly one
    // download, in DFU mode.
    for (const auto& t : a.tarns) {
        auto device = bus.device(t.serial);
        const int detaches = service.countOf(detach(t.serial));
        EXPECT_EQ(device["mode"] + " " + device["version"] + " " + device["downloads"] + " " +
                      std::to_string(std::min(detaches, 1)) + " " +
                      std::to_string(service.countOf(download(t.serial))),
                  std::string("runtime 0103 ") + (!t.old()          ? "0 0 0"
                                                  : t.mode == "dfu" ? "1 0 1"
                                                                    : "1 1 1"))
            << t.serial;
    }
    EXPECT_EQ(service.countOf("TarnUpdateResult is 5"), 0); // no download to a runtime Tarn
    const auto all = service.texts();
    const auto at = [&](const std::string& prefix) {
        return std::find_if(all.begin(), all.end(),
                            [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
    };
    if (a.request) { // attached at start in runtime mode, they waited for the request
        EXPECT_LT(at("control code: upgrade attached"), at("TarnUpgradeProcess processing event"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arrangements, SeveralTarns,
    ::testing::Values(
        Arrangement{"TwoOldAtOnce", {{kAtOnce, "SN0001", "1-1"}, {kAtOnce, "SN0002", "1-2"}}},
        Arrangement{"CurrentOn2ThenOldOn1",
                    {{kAtOnce, "SN0001", "1-2", "runtime", "0103"}, {kLater, "SN0002", "1-1"}}},
        Arrangement{"CurrentOn1ThenOldOn2",
                    {{kAtOnce, "SN0001", "1-1", "runtime", "0103"}, {kLater, "SN0002", "1-2"}}},
        Arrangement{"TwoOldAttachedThenARequest",
                    {{kBeforeStart, "SN0001", "1-1"}, {kBeforeStart, "SN0002", "1-2"}},
                    true},
        Arrangement{
            "ThreeOldAtOnce",
            {{kAtOnce, "SN0001", "1-1"}, {kAtOnce, "SN0002", "1-2"}, {kAtOnce, "SN0003", "1-3"}}},
        // Left in DFU mode by a download cut short: no arrival, no request.
        Arrangement{"InDfuModeAtStart", {{kBeforeStart, "SN0001", "1-1", "dfu", "0102", "ffff"}}}),
    [](const ::testing::TestParamInfo<Arrangement>& info) { return info.param.name; });

} // namespace
} // namespace tarn::integration
