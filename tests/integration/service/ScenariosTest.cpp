// The road of an arrival, end to end on the stand-in, in the ways it goes right and wrong.
#include "IntegrationSupport.h"
#include "platform/Files.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <signal.h>
#include <utility>

namespace tarn::integration {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

class Scenario : public ::testing::Test {
protected:
    SimulatorSysRoot sysroot;
    ServiceUnderTest service{sysroot};

    void SetUp() override {
        sysroot.installSimulator();
        sysroot.makePackage("fw-0103.dfu", "0103");
    }
    void TearDown() override { service.sc({"stop", kServiceName}); }
    // `environment` goes to the service's process alone.
    void start(const std::vector<std::string>& environment = {}) {
        ASSERT_TRUE(service.installAndStart(environment));
        service.connectSimulator();
    }
    void arrive(const std::string& product = "5710", const std::string& serial = "SN0001") {
        ASSERT_EQ(
            service.sc({"arrive", kServiceName, ServiceUnderTest::interfaceName(product, serial)})
                .exitCode,
            0);
    }
    std::string deviceState() { return sysroot.sim({"show", "SN0001"}); }
    // A tool whose download holds until the test makes the file it returns.
    fs::path installGatedTool() {
        const auto gate = sysroot.root() / "gate";
        sysroot.installTool("case \" $* \" in\n"
                            "*\" -l \"*) printf 'dfu-util 0.11\\n\\nFound DFU: [7c3e:5711] "
                            "ver=0102, cfg=1, serial=\"SN0001\"\\n' ;;\n"
                            "*\" -D \"*) while [ ! -e '" +
                            gate.string() +
                            "' ]; do sleep 0.01; done; printf 'dfu-util 0.11\\nDone!\\n' ;;\n"
                            "esac");
        return gate;
    }
    // Packages in the order given, each with a later creation time than the one before, as the
    // service reads it: the file system's clock moves in steps of its own, so a package is made
    // again until its time is a later step.
    void makePackagesInOrder(const std::vector<std::pair<std::string, std::string>>& packages) {
        std::optional<std::uint64_t> previous;
        // Named copies, not structured bindings: clang 14 cannot capture those in the lambda.
        for (const auto& package : packages) {
            const std::string& name = package.first;
            const std::string& version = package.second;
            const std::wstring path =
                upgrade::kServiceDirectory + std::wstring(name.begin(), name.end());
            std::optional<std::uint64_t> time;
            ASSERT_TRUE(waitUntil([&] {
                fs::remove(sysroot.services() / name);
                sysroot.makePackage(name, version);
                time = platform::systemFileSystem().creationTime(path);
                return time && (!previous || *time > *previous);
            })) << name;
            previous = time;
        }
    }
    int countStartingWith(const std::string& prefix) const {
        return static_cast<int>(service.textsStartingWith(prefix).size());
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

// A Tarn that arrives while its package is still being copied in is not flashed with half a
// package; once the copy is complete, its next arrival upgrades it.
TEST_F(Scenario, APackageStillBeingCopiedIsNotFlashed) {
    const fs::path package = sysroot.services() / "fw-0103.dfu";
    const std::string whole = readFile(package);
    std::ofstream(package, std::ios::binary | std::ios::trunc) << whole.substr(0, whole.size() / 3);
    sysroot.sim({"add", "SN0001", "--mode", "runtime", "--version", "0102"});
    start();
    arrive();
    ASSERT_TRUE(service.waitFor("TarnUpgradeProcess.initDfuDevList failed!"));
    EXPECT_EQ(service.countOf("package C:\\Program Files\\Vantor\\Tarn\\Services\\fw-0103.dfu "
                              "has no valid DFU suffix: bad signature"),
              1);
    EXPECT_EQ(
        service.countOf("initUpgradeInfo Failed C:\\Program Files\\Vantor\\Tarn\\Services\\!"), 1);
    EXPECT_EQ(countStartingWith("doCmd"), 0); // dfu-util never ran
    EXPECT_TRUE(fs::exists(package));
    EXPECT_NE(deviceState().find("version = 0102"), std::string::npos);

    std::ofstream(package, std::ios::binary | std::ios::trunc) << whole;
    arrive();
    ASSERT_TRUE(service.waitFor("TarnUpdateResult is 4"));
    ASSERT_TRUE(service.waitFor("return for latest build!"));
    EXPECT_NE(deviceState().find("version = 0103"), std::string::npos);
}

TEST_F(Scenario, SeveralPackages) {
    // Created oldest first: fw-0103, fw-0101, then a zipped one, then fw-0104, then fw-0102.
    makePackagesInOrder({{"fw-0103.dfu", "0103"},
                         {"fw-0101.dfu", "0101"},
                         {"fw-0105.zip.dfu", "0105"},
                         {"fw-0104.dfu", "0104"},
                         {"fw-0102.dfu", "0102"}});
    sysroot.sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    start();
    arrive("5711");
    ASSERT_TRUE(service.waitFor("TarnUpdateResult is 4"));
    ASSERT_TRUE(service.waitFor("return for latest build!")); // the device's re-arrival
    // fw-0104 sorts last among the unzipped names and is flashed; the walk deletes fw-0101,
    // the zipped package and fw-0103, and leaves its last step's discard, fw-0102.
    // Read by the download pass and by the re-arrival's pass.
    EXPECT_EQ(countStartingWith("get targetVersion is 0104!"), 2);
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
    start({"TARN_DOWNLOAD_BOUND_MS=3000"});
    arrive("5711");
    ASSERT_TRUE(service.waitFor("handlePipeInfo timeout, dfu-util terminated"));
    ASSERT_TRUE(service.waitFor("TarnUpgradeProcess.doUpgrade failed!"));
    sysroot.sim({"set", "SN0001", "fault.download=none"});
    arrive("5711");
    ASSERT_TRUE(service.waitFor("TarnUpdateResult is 4"));
}

TEST_F(Scenario, ArrivalsDuringAPassWaitTheirTurnAndOthersAreNotQueued) {
    // A tool whose download holds until the test opens the gate: the first pass lasts until
    // every arrival below has been handed to the service.
    const auto gate = installGatedTool();
    start();
    arrive("5711");
    ASSERT_TRUE(service.waitFor("doCmd enter sleep"));
    // Each arrival is queued once tarn-sc returns: it waits for the control handler.
    arrive("5711");
    ASSERT_EQ(service.sc({"arrive", kServiceName, "USB#VID_046D&PID_C52B#mouse"}).exitCode, 0);
    arrive("5711");
    std::ofstream(gate).put('\n');
    ASSERT_TRUE(service.waitFor(kDone, 3));
    // The first pass; then the two waiting, oldest first; the mouse never queued.
    EXPECT_EQ(service.workerMessages(),
              (Texts{kStarted, kQueued0, kHandled, kKeep, kDone,
                     "TarnUpgradeProcess processing event.... queue size 1", kHandled, kKeep, kDone,
                     kQueued0, kHandled, kKeep, kDone}));
    EXPECT_EQ(service.countOf("arrival device is Vantor Tarn."), 3);
    EXPECT_EQ(service.countOf("arrival device is not Vantor Tarn."), 1);
    EXPECT_EQ(service.countOf("TarnUpdateResult is 4"), 3);
}

TEST_F(Scenario, AStopDuringADownloadEndsTheProcessAtOnce) {
    sysroot.sim({"add", "SN0001", "--mode", "dfu", "--version", "0102"});
    // The download's pause, a hundred times the run's factor, is far longer than the wait for
    // the process below: only a stop that cuts the pause short passes.
    start({sleepScaleEntry(100)});
    const int pid = service.processId();
    ASSERT_GT(pid, 0);
    arrive("5711");
    ASSERT_TRUE(service.waitFor("doCmd enter sleep"));
    EXPECT_EQ(service.sc({"stop", kServiceName}).exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return kill(pid, 0) != 0; }, std::chrono::seconds(60)));
    EXPECT_EQ(service.countOf("service control stop success."), 1);
    EXPECT_EQ(service.countOf("doCmd end sleep"), 0); // the pass was cut off
}

// Serials from the device are untrusted: each key lies directly below Devices, whatever the
// serial holds, and the pass ends as it would have.
TEST_F(Scenario, UntrustedSerialsMakeNoKeyOutsideDevices) {
    std::string lines;
    for (const std::string& serial : Texts{"A\\B", "C\001D", "", std::string(300, 'X'), "SN0001"}) {
        lines += "Found Runtime: [7c3e:5710] ver=0103, cfg=1, serial=\"" + serial + "\"\n";
    }
    std::ofstream(sysroot.root() / "listing") << "dfu-util 0.11\n\n" << lines;
    sysroot.installTool("cat '" + (sysroot.root() / "listing").string() + "'");
    start();
    arrive();
    ASSERT_TRUE(service.waitFor(kDone));
    EXPECT_EQ(service.workerMessages(), (Texts{kStarted, kQueued0, kHandled, kKeep, kDone}));
    EXPECT_EQ(countStartingWith("Tarn with serial "), 2);
    const std::string devices = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Tarn\\Devices";
    EXPECT_EQ(service.sc({"reg", "query", devices}).output,
              "\n" + devices + "\\A%5CB\n" + devices + "\\C%01D\n" + devices + "\\SN0001\n");
    EXPECT_EQ(service.sc({"reg", "query", "HKLM"}).output, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\n");
    EXPECT_EQ(service.sc({"reg", "query", "HKLM\\SOFTWARE\\Vantor\\Tarn"}).output,
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Tarn\n    ServiceVersion    REG_SZ   "
              " " TARN_FILE_VERSION "\n\n" +
                  devices + "\n");
}

// At shutdown a download under way is finished first, then the service stops; what is queued
// behind it is never started. Idle, the same notice stops it at once.
TEST_F(Scenario, PreshutdownWaitsForThePassUnderWayAndStartsNoOther) {
    const auto gate = installGatedTool();
    start();
    const int pid = service.processId();
    arrive("5711");
    ASSERT_TRUE(service.waitFor("doCmd enter sleep"));
    arrive("5711");
    EXPECT_EQ(service.sc({"control", kServiceName, "preshutdown"}).exitCode, 0);
    ASSERT_TRUE(service.waitFor(
        "control code: SERVICE_CONTROL_PRSHUTDOWN - stop after the pass in progress"));
    EXPECT_NE(service.sc({"query", kServiceName}).output.find("STOP_PENDING"), std::string::npos);
    std::ofstream(gate).put('\n');
    ASSERT_TRUE(service.waitFor("service control stop success."));
    EXPECT_TRUE(waitUntil([&] { return kill(pid, 0) != 0; }, std::chrono::seconds(60)));
    EXPECT_NE(service.sc({"query", kServiceName}).output.find("STOPPED"), std::string::npos);
    const Texts all = service.texts();
    const auto at = [&](const std::string& text) {
        return std::find(all.begin(), all.end(), text) - all.begin();
    };
    EXPECT_LT(at("TarnUpdateResult is 4"), at("pass ended, service stops for shutdown."));
    EXPECT_LT(at("pass ended, service stops for shutdown."), at("service control stop success."));
    EXPECT_EQ(service.countOf(kQueued0), 1); // the second arrival got no pass
    EXPECT_EQ(service.countOf("arrival device is Vantor Tarn."), 2);

    ASSERT_EQ(service.sc({"start", kServiceName}).exitCode, 0);
    ASSERT_TRUE(service.waitFor(kStarted, 2));
    EXPECT_EQ(service.sc({"control", kServiceName, "preshutdown"}).exitCode, 0);
    ASSERT_TRUE(service.waitFor("service control stop success.", 2));
    EXPECT_EQ(service.countOf("control code: SERVICE_CONTROL_PRSHUTDOWN - stop now"), 1);
    EXPECT_TRUE(waitUntil([&] {
        return service.sc({"query", kServiceName}).output.find("STOPPED") != std::string::npos;
    }));
}

TEST_F(Scenario, TheRealToolWithNoDeviceAttached) {
    if (!fs::exists("/usr/bin/dfu-util")) {
        GTEST_SKIP() << "dfu-util is not installed";
    }
    fs::copy_file("/usr/bin/dfu-util", sysroot.services() / "dfu-util.exe",
                  fs::copy_options::overwrite_existing);
    start();
    arrive();
    ASSERT_TRUE(service.waitFor(kDone, 1));
    // The listing ran for real, named no device, and was repeated once: outcome 7.
    EXPECT_EQ(countStartingWith("handlePipeInfo updev.mode 2 strOutput= dfu-util 0.11"), 2);
    EXPECT_EQ(service.countOf("updev.mode is  2 retry is 0"), 1);
    EXPECT_EQ(service.countOf(kHandled), 1);
}

} // namespace
} // namespace tarn::integration
