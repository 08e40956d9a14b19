// What a misbehaving tool, a strange service directory or a broken event log do to the running
// service: each ends its pass in a defined way, and the next arrival is handled as usual.
#include "IntegrationSupport.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace tarn::integration {
namespace {

namespace fs = std::filesystem;

const std::string kListingFailed = "TarnUpgradeProcess.initDfuDevList failed!";

class Fault : public ::testing::Test {
protected:
    SimulatorSysRoot sysroot;
    ServiceUnderTest service{sysroot};

    void SetUp() override { sysroot.makePackage("fw-0103.dfu", "0103"); }
    void TearDown() override { service.sc({"stop", kServiceName}); }
    void start(const std::vector<std::string>& environment = {}) {
        ASSERT_TRUE(service.installAndStart(environment));
    }
    void arrive() {
        ASSERT_EQ(
            service.sc({"arrive", kServiceName, ServiceUnderTest::interfaceName("5710", "SN0001")})
                .exitCode,
            0);
    }
    void tool(const std::string& script) { sysroot.installTool(script); }
    // After whatever went before, the service still handles an arrival normally.
    void stillServes() {
        fs::remove(sysroot.services() / "dfu-util.exe");
        sysroot.installSimulator();
        sysroot.sim({"add", "SN0001", "--mode", "runtime", "--version", "0200"});
        const int before = service.countOf("return for latest build!");
        const int done = service.countOf(kDone);
        arrive();
        ASSERT_TRUE(service.waitFor(kDone, done + 1));
        EXPECT_EQ(service.countOf("return for latest build!"), before + 1);
    }
};

TEST_F(Fault, BytesInvalidInTheCodePageAndNuls) {
    tool("printf 'dfu-util 0.11\\n\\377\\376 Found Runtime: [7c3e:5710] ver=01\\0002, "
         "serial=\"S\\200\\0N\"\\n\\300\\n'");
    start();
    arrive();
    ASSERT_TRUE(service.waitFor(kDone));
    stillServes();
}

TEST_F(Fault, ALineOfTenMegabytes) {
    tool("echo 'dfu-util 0.11'; head -c 10000000 /dev/zero | tr '\\0' x; echo ' [7c3e:5710] "
         "Runtime ver=0200'");
    start();
    arrive();
    ASSERT_TRUE(service.waitFor(kDone, 1));
    stillServes();
}

TEST_F(Fault, AHundredMegabytesOfOutput) {
    // At a (shortened) 100 ms a read, 100 MB take far longer than a 5-second bound: the run is
    // ended before the device line at its end. Long lines keep the analysis of what came cheap.
    tool("echo 'dfu-util 0.11'; yes \"$(head -c 4000 /dev/zero | tr '\\0' x)\" | head -c "
         "100000000; echo 'Found Runtime: [7c3e:5710] ver=0200, cfg=1'");
    start({"TARN_LISTING_BOUND_MS=5000"});
    arrive();
    ASSERT_TRUE(service.waitFor(kDone, 1));
    // The cut-off listing named no device, so it was repeated, and cut off again.
    EXPECT_EQ(service.countOf("handlePipeInfo timeout, dfu-util terminated"), 2);
    EXPECT_EQ(service.countOf("updev.mode is  2 retry is 0"), 1);
    stillServes();
}

TEST_F(Fault, AToolKilledByASignal) {
    tool("echo 'dfu-util 0.11'; echo 'Found Runtime: [7c3e:57'; kill -9 $$");
    start();
    arrive();
    ASSERT_TRUE(service.waitFor(kDone));
    EXPECT_EQ(service.countOf("updev.mode is  2 retry is 0"), 1); // the line was cut short
    stillServes();
}

// Neither takes part in the choice: the good package beside them is used.
TEST_F(Fault, APackageGoneBetweenTheSearchAndTheRead) {
    // A dangling link is found by the search and cannot be opened, as a package deleted in
    // between would be.
    fs::create_symlink(sysroot.services() / "gone.dfu", sysroot.services() / "zz.dfu");
    sysroot.installSimulator();
    start();
    arrive();
    ASSERT_TRUE(service.waitFor(kDone));
    EXPECT_EQ(service.countOf("package C:\\Program Files\\Vantor\\Tarn\\Services\\zz.dfu could "
                              "not be opened: No such file or directory"),
              1); // once, though the unrecognised device's pass looks twice
    EXPECT_EQ(service.countOf("get targetVersion is 0103!"), 2);
    fs::remove(sysroot.services() / "zz.dfu");
    stillServes();
}

TEST_F(Fault, AReadOnlyPackageAndADirectoryNamedLikeOne) {
    fs::create_directory(sysroot.services() / "x.dfu");
    sysroot.makePackage("a-ro.dfu", "0104");
    fs::permissions(sysroot.services() / "a-ro.dfu", fs::perms::owner_read);
    sysroot.installSimulator();
    start();
    arrive();
    // "x.dfu" sorts last but is no package; "fw-0103.dfu" is chosen.
    ASSERT_TRUE(service.waitFor(kDone));
    EXPECT_EQ(service.countOf("get targetVersion is 0103!"), 2);
    EXPECT_TRUE(fs::exists(sysroot.services() / "a-ro.dfu")); // read-only: not deleted
    fs::remove(sysroot.services() / "x.dfu");
    stillServes();
}

TEST_F(Fault, AThousandPackages) {
    sysroot.installSimulator();
    const std::string package = readFile(sysroot.services() / "fw-0103.dfu");
    for (int i = 0; i < 1000; ++i) {
        std::ofstream(sysroot.services() / ("p" + std::to_string(1000 + i) + ".dfu"),
                      std::ios::binary)
            << package;
    }
    start();
    arrive();
    ASSERT_TRUE(service.waitFor(kDone, 1));
    int left = 0;
    for (const auto& entry : fs::directory_iterator(sysroot.services())) {
        left += entry.path().extension() == ".dfu";
    }
    EXPECT_EQ(left, 2); // the chosen one and the last step's discard
    stillServes();
}

TEST_F(Fault, NoServiceDirectory) {
    sysroot.installSimulator();
    start();
    // The running service keeps its executable's image; the directory goes away under it.
    fs::remove_all(sysroot.services());
    arrive();
    ASSERT_TRUE(service.waitFor(kListingFailed));
    EXPECT_EQ(service.countOf("initUpgradeInfo File not found C:\\Program Files\\Vantor\\Tarn\\"
                              "Services\\*.dfu!"),
              1);
    fs::create_directories(sysroot.services());
    sysroot.makePackage("fw-0103.dfu", "0103");
    stillServes();
}

TEST_F(Fault, EventLogWritesThatFail) {
    sysroot.installSimulator();
    sysroot.sim({"add", "SN0001", "--mode", "runtime", "--version", "0102"});
    service.connectSimulator();
    start();
    // From here on every report is lost: the log file cannot be written.
    const fs::path log = sysroot.root() / "eventlog.jsonl";
    fs::rename(log, sysroot.root() / "eventlog.before");
    fs::create_directory(log);
    arrive();
    // The upgrade goes on unseen: the device ends at the new version.
    EXPECT_TRUE(waitUntil(
        [&] {
            return sysroot.sim({"show", "SN0001"}).find("0103") != std::string::npos;
        },
        std::chrono::minutes(3)));
    fs::remove(log);
    fs::rename(sysroot.root() / "eventlog.before", log);
    EXPECT_EQ(service.sc({"stop", kServiceName}).exitCode, 0);
}

} // namespace
} // namespace tarn::integration
