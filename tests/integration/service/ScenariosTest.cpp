// The road of an arrival, end to end on the stand-in, in the ways it goes right and wrong.
#include "IntegrationSupport.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <signal.h>
#include <thread>

namespace tarn::integration {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

const std::string kQueued0 = "TarnUpgradeProcess processing event.... queue size 0";
const std::string kDone = "TarnUpgradeProcess.initDfuDevList processing event.... done";

class Scenario : public ::testing::Test {
protected:
    TempSysRoot sysroot;
    ServiceUnderTest service{sysroot};

    void SetUp() override {
        sysroot.installSimulator();
        sysroot.makePackage("fw-0103.dfu", "0103");
    }
    void TearDown() override {
        service.sc({"stop", kServiceName});
        setenv("TARN_SLEEP_SCALE", "0.01", 1);
    }
    void start() {
        ASSERT_TRUE(service.installAndStart());
        service.connectSimulator();
    }
    void arrive(const std::string& product = "5710", const std::string& serial = "SN0001") {
        ASSERT_EQ(
            service.sc({"arrive", kServiceName, ServiceUnderTest::interfaceName(product, serial)})
                .exitCode,
            0);
    }
    std::string deviceState() { return sysroot.sim({"show", "SN0001"}); }
    int countStartingWith(const std::string& prefix) const {
        const Texts all = service.texts();
        return static_cast<int>(std::count_if(
            all.begin(), all.end(), [&](const std::string& t) { return t.rfind(prefix, 0) == 0; }));
    }
    // The worker's messages after it started.
    Texts workerMessages() const {
        Texts out;
        for (const auto& t : service.texts()) {
            if ((t.rfind("TarnUpgradeProcess", 0) == 0 &&
                 t.find("start event") == std::string::npos) ||
                t == "arrival device handled completely." || t == "Keep service running.") {
                out.push_back(t);
            }
        }
        return out;
    }
};

TEST_F(Scenario, CurrentOrNewerFirmwareIsNotTouched) {
    sysroot.sim({"add", "SN0001", "--mode", "runtime", "--version", "0103"});
    sysroot.sim({"add", "SN0002", "--mode", "runtime", "--version", "0200"});
    start();
    arrive();
    ASSERT_TRUE(service.waitFor(kDone));
    arrive("5710", "SN0002");
    ASSERT_TRUE(service.waitFor(kDone, 2));
    EXPECT_EQ(service.countOf("return for latest build!"), 2);
    EXPECT_EQ(countStartingWith("cmdline is "), 0); // no detach, no download
    EXPECT_TRUE(sysroot.announcements().empty());
    EXPECT_NE(sysroot.sim({"show", "SN0002"}).find("0200"), std::string::npos);
}

TEST_F(Scenario, NoPackageNeverStartsTheTool) {
    fs::remove(sysroot.services() / "fw-0103.dfu");
    sysroot.sim({"add", "SN0001", "--mode", "runtime", "--version", "0102"});
    start();
    arrive();
    ASSERT_TRUE(service.waitFor("TarnUpgradeProcess.initDfuDevList failed!"));
    EXPECT_EQ(countStartingWith("doCmd"), 0);
    EXPECT_EQ(
        service.countOf("initUpgradeInfo Failed C:\\Program Files\\Vantor\\Tarn\\Services\\!"), 1);
}

TEST_F(Scenario, SeveralPackages) {
    // Created oldest first: fw-0101, then a zipped one, then fw-0104, then fw-0102.
    sysroot.makePackage("fw-0101.dfu", "0101");
    sysroot.makePackage("fw-0105.zip.dfu", "0105");
    sysroot.makePackage("fw-0104.dfu", "0104");
    sysroot.makePackage("fw-0102.dfu", "0102");
    sysroot.sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    start();
    arrive("5711");
    ASSERT_TRUE(service.waitFor("TarnUpdateResult is 4"));
    ASSERT_TRUE(service.waitFor("return for latest build!")); // the device's re-arrival
    // fw-0104 sorts last among the unzipped names and is flashed; the walk deletes fw-0101,
    // the zipped package and fw-0103, and leaves its last step's discard, fw-0102.
    EXPECT_GE(countStartingWith("get targetVersion is 0104!"), 1);
    EXPECT_NE(deviceState().find("0104"), std::string::npos);
    Texts left;
    for (const auto& entry : fs::directory_iterator(sysroot.services())) {
        if (entry.path().extension() == ".dfu") {
            left.push_back(entry.path().filename().string());
        }
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Texts{"fw-0102.dfu", "fw-0104.dfu"}));
}

TEST_F(Scenario, AMissingToolFailsThePassAndTheServiceGoesOn) {
    fs::remove(sysroot.services() / "dfu-util.exe");
    start();
    arrive();
    ASSERT_TRUE(service.waitFor("TarnUpgradeProcess.initDfuDevList failed!"));
    EXPECT_EQ(service.countOf("CreateProcess Failed!"), 1);
    sysroot.installSimulator();
    sysroot.sim({"add", "SN0001", "--mode", "runtime", "--version", "0200"});
    arrive();
    ASSERT_TRUE(service.waitFor("return for latest build!"));
}

TEST_F(Scenario, AFailedDownloadIsTriedAgainByTheNextArrival) {
    sysroot.sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    sysroot.sim({"set", "SN0001", "fault.download=error"});
    start();
    arrive("5711");
    ASSERT_TRUE(service.waitFor("TarnUpgradeProcess.doUpgrade failed!"));
    EXPECT_EQ(service.countOf("TarnUpdateResult is 5"), 1);
    EXPECT_TRUE(fs::exists(sysroot.services() / "fw-0103.dfu"));
    sysroot.sim({"set", "SN0001", "fault.download=none"});
    arrive("5711");
    ASSERT_TRUE(service.waitFor("TarnUpdateResult is 4"));
    ASSERT_TRUE(service.waitFor("return for latest build!")); // its runtime re-arrival
}

TEST_F(Scenario, ADownloadThatNeverEndsIsCutOff) {
    sysroot.sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    sysroot.sim({"set", "SN0001", "fault.download=hang"});
    // The bound is real time: ten minutes, unless the test sets its own.
    setenv("TARN_DOWNLOAD_BOUND_MS", "3000", 1);
    start();
    unsetenv("TARN_DOWNLOAD_BOUND_MS");
    arrive("5711");
    ASSERT_TRUE(service.waitFor("handlePipeInfo timeout, dfu-util terminated", 1, 60));
    ASSERT_TRUE(service.waitFor("TarnUpgradeProcess.doUpgrade failed!"));
    sysroot.sim({"set", "SN0001", "fault.download=none"});
    arrive("5711");
    ASSERT_TRUE(service.waitFor("TarnUpdateResult is 4"));
}

TEST_F(Scenario, ArrivalsDuringAPassWaitTheirTurnAndOthersAreNotQueued) {
    // Slow enough that the download's pause outlasts the arrivals below.
    setenv("TARN_SLEEP_SCALE", "0.02", 1);
    sysroot.sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    start();
    arrive("5711");
    ASSERT_TRUE(service.waitFor("doCmd enter sleep"));
    arrive("5711");
    ASSERT_EQ(service.sc({"arrive", kServiceName, "USB#VID_046D&PID_C52B#mouse"}).exitCode, 0);
    arrive("5711");
    ASSERT_TRUE(service.waitFor("arrival device is not Vantor Tarn."));
    ASSERT_TRUE(service.waitFor(kDone, 3, 60));
    setenv("TARN_SLEEP_SCALE", "0.01", 1);
    const Texts worker = workerMessages();
    // The first pass; then two waiting, taken oldest first; the mouse never queued. The
    // re-arrival the download announces comes after them.
    ASSERT_GE(worker.size(), 6u);
    EXPECT_EQ(worker[0], kQueued0);
    EXPECT_EQ(std::count(worker.begin(), worker.end(),
                         "TarnUpgradeProcess processing event.... queue size 2"),
              1);
    const auto two = std::find(worker.begin(), worker.end(),
                               "TarnUpgradeProcess processing event.... queue size 2");
    const auto one = std::find(worker.begin(), worker.end(),
                               "TarnUpgradeProcess processing event.... queue size 1");
    EXPECT_LT(two, one);
}

TEST_F(Scenario, AStopDuringADownloadEndsTheProcessAtOnce) {
    setenv("TARN_SLEEP_SCALE", "0.05", 1); // a 10-second pause before the download is read
    sysroot.sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    start();
    setenv("TARN_SLEEP_SCALE", "0.01", 1);
    const std::string query = service.sc({"query", kServiceName}).output;
    const auto at = query.find("PID");
    ASSERT_NE(at, std::string::npos);
    const int pid = std::stoi(query.substr(query.find(':', at) + 1));
    arrive("5711");
    ASSERT_TRUE(service.waitFor("doCmd enter sleep"));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(service.sc({"stop", kServiceName}).exitCode, 0);
    bool gone = false;
    while (std::chrono::steady_clock::now() - before < std::chrono::seconds(5)) {
        if (kill(pid, 0) != 0) {
            gone = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
    EXPECT_EQ(service.countOf("service control stop success."), 1);
    EXPECT_EQ(service.countOf("doCmd end sleep"), 0); // the pass was cut off
}

TEST_F(Scenario, TheRealToolWithNoDeviceAttached) {
    if (!fs::exists("/usr/bin/dfu-util")) {
        GTEST_SKIP() << "dfu-util is not installed";
    }
    fs::copy_file("/usr/bin/dfu-util", sysroot.services() / "dfu-util.exe",
                  fs::copy_options::overwrite_existing);
    start();
    arrive();
    ASSERT_TRUE(service.waitFor(kDone, 1, 60));
    // The listing ran for real, named no device, and was repeated once: outcome 7.
    EXPECT_EQ(countStartingWith("handlePipeInfo updev.mode 2 strOutput= dfu-util 0.11"), 2);
    EXPECT_EQ(service.countOf("updev.mode is  2 retry is 0"), 1);
    EXPECT_EQ(service.countOf("arrival device handled completely."), 1);
}

} // namespace
} // namespace tarn::integration
