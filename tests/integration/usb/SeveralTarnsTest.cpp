// Several Tarns on one PC, the real dfu-util against emulated Tarns: one Tarn per pass, each old
// one written exactly once, each current one never, and none left in DFU mode.
#include "ServiceOnBus.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace tarn::integration {
namespace {

struct Tarn {
    std::string serial;
    std::string port;
    std::string mode;    // as plugged
    std::string version; // its firmware
    bool beforeStart = false;
    bool afterTheOthers = false; // plugged once the service has handled those before it
    std::string bootloader = {};
};

struct Arrangement {
    const char* name;
    std::vector<Tarn> tarns;
    bool request = false; // control 128 once all are plugged
};

bool old(const Tarn& t) {
    return t.mode == "dfu" || t.version < "0103";
}

class SeveralTarns : public ServiceOnBus, public ::testing::WithParamInterface<Arrangement> {
protected:
    // Every event queued has had its pass, and every arrival the road makes has been heard.
    bool idle(int arrivals) const {
        const int ended = service.countOf(kDone) +
                          service.countOf("TarnUpgradeProcess.initDfuDevList failed!") +
                          service.countOf("TarnUpgradeProcess.doUpgrade failed!");
        return service.countOf("dwEventType: 32768") >= arrivals &&
               service.countOf("arrival device is Vantor Tarn.") == ended;
    }
    int countStarting(const std::string& prefix) const {
        return static_cast<int>(service.textsStartingWith(prefix).size());
    }
};

TEST_P(SeveralTarns, EveryTarnEndsAtThePackagesVersion) {
    const Arrangement& a = GetParam();
    const auto plug = [&](const Tarn& t) {
        std::vector<std::string> words = {"plug", t.serial, "port=" + t.port, "mode=" + t.mode,
                                          "version=" + t.version};
        if (!t.bootloader.empty()) {
            words.push_back("bootloader=" + t.bootloader);
        }
        bus.ctl(words);
    };
    // A Tarn plugged in while the service runs arrives once; each detach and each download
    // makes one more arrival.
    int arrivals = 0;
    for (const auto& t : a.tarns) {
        arrivals += (t.beforeStart ? 0 : 1) + (old(t) ? (t.mode == "runtime" ? 2 : 1) : 0);
        if (t.beforeStart) {
            plug(t);
        }
    }
    ASSERT_NO_FATAL_FAILURE(startUnderBus());
    int heard = 0;
    for (const auto& t : a.tarns) {
        if (!t.beforeStart) {
            if (t.afterTheOthers) {
                ASSERT_TRUE(waitUntil([&] { return idle(heard); }));
            }
            plug(t);
            ++heard;
        }
    }
    if (a.request) {
        ASSERT_EQ(service.sc({"control", kServiceName, "128"}).exitCode, 0);
    }
    ASSERT_TRUE(waitUntil([&] { return idle(arrivals); }, std::chrono::minutes(3)));

    for (const auto& t : a.tarns) {
        auto device = bus.device(t.serial);
        EXPECT_EQ(device["mode"], "runtime") << t.serial;
        EXPECT_EQ(device["version"], "0103") << t.serial;
        EXPECT_EQ(device["downloads"], old(t) ? "1" : "0") << t.serial;
        const int detaches = old(t) && t.mode == "runtime" ? 1 : 0;
        EXPECT_EQ(service.countOf(detach(t.serial)), detaches) << t.serial;
        EXPECT_EQ(service.countOf(download(t.serial)), old(t) ? 1 : 0) << t.serial;
    }
    // Nothing was aimed at a Tarn in the other mode: no refused detach, no failed download.
    EXPECT_EQ(countStarting("doDevDetach dfu-util refused"), 0);
    EXPECT_EQ(countStarting("TarnUpdateResult is 5"), 0);
    if (a.request) {
        // Attached at start in runtime mode, they waited for the request.
        const auto all = service.texts();
        const auto first = [&](const std::string& prefix) {
            return std::find_if(all.begin(), all.end(),
                                [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
        };
        EXPECT_LT(first("control code: upgrade attached devices."),
                  first("TarnUpgradeProcess processing event"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arrangements, SeveralTarns,
    ::testing::Values(
        Arrangement{"TwoOldAtOnce",
                    {{"SN0001", "1-1", "runtime", "0102"}, {"SN0002", "1-2", "runtime", "0102"}}},
        Arrangement{"CurrentOn2ThenOldOn1",
                    {{"SN0001", "1-2", "runtime", "0103"},
                     {"SN0002", "1-1", "runtime", "0102", false, true}}},
        Arrangement{"CurrentOn1ThenOldOn2",
                    {{"SN0001", "1-1", "runtime", "0103"},
                     {"SN0002", "1-2", "runtime", "0102", false, true}}},
        Arrangement{"TwoOldAttachedThenARequest",
                    {{"SN0001", "1-1", "runtime", "0102", true},
                     {"SN0002", "1-2", "runtime", "0102", true}},
                    true},
        Arrangement{"ThreeOldAtOnce",
                    {{"SN0001", "1-1", "runtime", "0102"},
                     {"SN0002", "1-2", "runtime", "0102"},
                     {"SN0003", "1-3", "runtime", "0102"}}},
        // Left in DFU mode by a download cut short; its bootloader reports a version of its own.
        Arrangement{"InDfuModeAtStart", {{"SN0001", "1-1", "dfu", "0102", true, false, "ffff"}}}),
    [](const ::testing::TestParamInfo<Arrangement>& info) { return info.param.name; });

} // namespace
} // namespace tarn::integration
