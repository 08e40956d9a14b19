// The service with the real dfu-util against an emulated Tarn: arrivals heard from udev, the
// tool's own output, and the device's own view of what it received.
#include "ServiceOnBus.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <sstream>

namespace tarn::integration {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

const std::string kLatest = "return for latest build!";
const std::string kArrival = "dwEventType: 32768";

class RealTool : public ServiceOnBus {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ServiceOnBus::SetUp());
        ASSERT_NO_FATAL_FAILURE(startUnderBus(serviceEnvironment()));
    }

    // For the service's process alone ("NAME=value").
    virtual std::vector<std::string> serviceEnvironment() const { return {}; }

    std::string package() const {
        const std::string bytes = readFile(sysroot.services() / "fw-0103.dfu");
        return bytes.substr(0, bytes.size() - 16); // the tool sends the image without its suffix
    }
    std::string field(const std::string& serial, const std::string& key) const {
        return bus.device(serial)[key];
    }
};

TEST_F(RealTool, APluggedInTarnIsDetachedFlashedAndLeftAlone) {
    bus.ctl({"plug", "SN0001", "mode=runtime", "version=0102"});
    ASSERT_TRUE(service.waitFor(kLatest));
    // The worker's own messages follow the engine's last one (and the pass's record).
    ASSERT_TRUE(service.waitFor(kDone, 3));

    EXPECT_EQ(service.workerMessages(), (Texts{kStarted,        // the worker starts
                                               kQueued0, kDone, // 3: detached
                                               kQueued0, kHandled, kKeep, kDone,    // 4: written
                                               kQueued0, kHandled, kKeep, kDone})); // 6: current
    EXPECT_EQ(service.textsStartingWith("cmdline is "),
              (Texts{detach("SN0001"), download("SN0001")}));
    EXPECT_EQ(service.countOf("TarnUpdateResult is 4"), 1);
    EXPECT_EQ(service.countOf("analyseBuffer Upgrade check SUCCESS: strTmp=Done!"), 1);
    // Plugged in, then twice re-enumerated: three arrivals and two removals heard from udev.
    EXPECT_EQ(service.countOf(kArrival), 3);
    EXPECT_EQ(service.countOf("device remove"), 2);
    EXPECT_EQ(service.countOf("arrival device is Vantor Tarn."), 3);

    EXPECT_EQ(field("SN0001", "mode"), "runtime");
    EXPECT_EQ(field("SN0001", "version"), "0103");
    EXPECT_EQ(field("SN0001", "downloads"), "1");
    EXPECT_EQ(bus.image("SN0001"), package());
    EXPECT_TRUE(fs::exists(sysroot.services() / "fw-0103.dfu"));
}

TEST_F(RealTool, AWriteErrorFailsThePassAndTheReplugedDeviceIsUpgraded) {
    bus.ctl({"plug", "SN0001", "mode=dfu", "version=0102", "fault.write-error=5"});
    ASSERT_TRUE(service.waitFor("TarnUpgradeProcess.doUpgrade failed!"));
    EXPECT_EQ(service.countOf("TarnUpdateResult is 5"), 1);
    EXPECT_EQ(service.countOf("analyseBuffer Upgrade check ERROR: strTmp=DFU state(10) = "
                              "dfuERROR, status(3) = Device is unable to write memory"),
              1);
    EXPECT_TRUE(fs::exists(sysroot.services() / "fw-0103.dfu"));
    EXPECT_EQ(field("SN0001", "mode"), "dfu");
    EXPECT_EQ(field("SN0001", "version"), "0102");

    // Pulled out and plugged in again, it comes up in DFU mode and takes the package.
    bus.ctl({"unplug", "SN0001"});
    bus.ctl({"plug", "SN0001"});
    ASSERT_TRUE(service.waitFor(kLatest));
    EXPECT_EQ(service.countOf("TarnUpdateResult is 4"), 1);
    EXPECT_EQ(field("SN0001", "version"), "0103");
    EXPECT_EQ(field("SN0001", "mode"), "runtime");
    EXPECT_EQ(bus.image("SN0001"), package());
}

TEST_F(RealTool, ADeviceLostAfterTheDetachLeavesTheServiceReadyForTheNextPlug) {
    bus.ctl({"plug", "SN0001", "version=0102", "fault.detach=lost"});
    ASSERT_TRUE(service.waitFor(kDone));
    ASSERT_TRUE(service.waitFor("device remove"));
    EXPECT_EQ(service.textsStartingWith("cmdline is "), (Texts{detach("SN0001")}));
    // Gone for good: it left the bus and never enumerated again.
    EXPECT_EQ(field("SN0001", "present"), "0");
    EXPECT_EQ(field("SN0001", "enumerations"), "1");

    bus.ctl({"set", "SN0001", "fault.detach=none"});
    bus.ctl({"plug", "SN0001"});
    ASSERT_TRUE(service.waitFor(kLatest));
    EXPECT_EQ(service.countOf("TarnUpdateResult is 4"), 1);
    EXPECT_EQ(field("SN0001", "version"), "0103");
    // The first plug, the replug, and the two re-enumerations of the second road.
    EXPECT_EQ(service.countOf(kArrival), 4);
}

TEST_F(RealTool, TwoTarnsAreEachFlashedByTheirOwnSerial) {
    bus.ctl({"plug", "SN0001", "version=0102"});
    ASSERT_TRUE(service.waitFor(kLatest));
    const std::size_t firstRoad = service.texts().size();
    bus.ctl({"plug", "SN0002", "version=0102"});
    ASSERT_TRUE(service.waitFor(kLatest, 2));

    Texts first, second;
    const Texts all = service.texts();
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].rfind("cmdline is ", 0) == 0) {
            (i < firstRoad ? first : second).push_back(all[i]);
        }
    }
    EXPECT_EQ(first, (Texts{detach("SN0001"), download("SN0001")}));
    EXPECT_EQ(second, (Texts{detach("SN0002"), download("SN0002")}));
    for (const std::string serial : {"SN0001", "SN0002"}) {
        EXPECT_EQ(field(serial, "version"), "0103") << serial;
        EXPECT_EQ(field(serial, "downloads"), "1") << serial;
        EXPECT_EQ(bus.image(serial), package()) << serial;
    }
}

TEST_F(RealTool, AnotherUsbDeviceIsNotTheTarn) {
    bus.ctl({"plug-other", "MOUSE01", "id=046d:c52b"});
    ASSERT_TRUE(service.waitFor("arrival device is not Vantor Tarn."));
    bus.ctl({"unplug", "MOUSE01"});
    ASSERT_TRUE(service.waitFor("device remove"));
    EXPECT_TRUE(service.textsStartingWith("TarnUpgradeProcess processing event").empty());

    // Nothing was queued for it: the next Tarn's pass finds the queue empty behind it.
    bus.ctl({"plug", "SN0001", "version=0103"});
    ASSERT_TRUE(service.waitFor(kLatest));
    EXPECT_EQ(service.textsStartingWith("TarnUpgradeProcess processing event"), (Texts{kQueued0}));
}

TEST_F(RealTool, AStopWhileTheToolDownloadsCompletesAtOnce) {
    // About six seconds of download: the device asks for 100 ms after each block.
    bus.ctl({"plug", "SN0001", "mode=dfu", "version=0102", "fault.poll-ms=100"});
    ASSERT_TRUE(waitUntil([&] { return field("SN0001", "downloads") == "1"; }));

    ASSERT_EQ(service.sc({"stop", kServiceName}).exitCode, 0);
    // The stop ended while the tool was still writing the image.
    EXPECT_EQ(field("SN0001", "version"), "0102");
    EXPECT_EQ(field("SN0001", "mode"), "dfu");
    const Texts stop = {"control code: SERVICE_CONTROL_STOP.", "enter onStop function.",
                        "unregister device notification.", "service control stop success."};
    Texts seen;
    for (const auto& t : service.texts()) {
        if (std::find(stop.begin(), stop.end(), t) != stop.end()) {
            seen.push_back(t);
        }
    }
    EXPECT_EQ(seen, stop);
    EXPECT_EQ(service.countOf("TarnUpdateResult is 4"), 0);
    EXPECT_NE(service.sc({"query", kServiceName}).output.find("STOPPED"), std::string::npos);

    // The tool, left to itself, finishes: the device comes back running the new firmware.
    EXPECT_TRUE(waitUntil([&] { return field("SN0001", "version") == "0103"; }));
}

// The main job's road: the wrapper times each run of the tool; the download is bounded at three
// seconds.
class RealToolTimed : public RealTool {
protected:
    std::vector<std::string> serviceEnvironment() const override {
        return {"TARN_DOWNLOAD_BOUND_MS=3000", "TARN_TOOL_LOG=" + toolLog().string()};
    }
    fs::path toolLog() const { return sysroot.root() / "tool-runs.log"; }
};

TEST_F(RealToolTimed, ARealToolHungPastTheBoundIsGoneWhenThePassEnds) {
    // After the first block the device asks the tool to wait an hour before it asks again.
    bus.ctl({"plug", "SN0001", "mode=dfu", "version=0102", "fault.poll-ms=3600000"});
    ASSERT_TRUE(service.waitFor("handlePipeInfo timeout, dfu-util terminated"));
    ASSERT_TRUE(service.waitFor("TarnUpgradeProcess.doUpgrade failed!"));
    const std::string tool = "/usr/bin/dfu-util";
    // Ended with the wrapper it was started as: killed, it is gone at once.
    EXPECT_TRUE(waitUntil([&] { return bus.running(tool).empty(); }, std::chrono::seconds(10)));
    for (const pid_t pid : bus.running(tool)) {
        ::kill(pid, SIGKILL); // left over by a failure above: not to sleep on for an hour
    }

    // Both runs were timed, the killed one too: the listing, then the download.
    std::vector<std::string> runs;
    ASSERT_TRUE(waitUntil([&] {
        runs.clear();
        std::istringstream log(readFile(toolLog()));
        for (std::string line; std::getline(log, line);) {
            runs.push_back(line.substr(line.find(' ', line.find(' ') + 1) + 1));
        }
        return runs.size() == 2;
    }));
    EXPECT_EQ(runs[0], "-l");
    EXPECT_EQ(runs[1], "-d 7c3e:5710,7c3e:5711 -S SN0001 -D " +
                           (sysroot.services() / "fw-0103.dfu").string());
}

} // namespace
} // namespace tarn::integration
