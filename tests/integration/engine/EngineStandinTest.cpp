// Whole listing, detach and download passes through real child processes and real files, with
// the simulator standing in for dfu-util and the Tarn.
#include "IntegrationSupport.h"
#include "fakes/FakeEventLog.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace tarn::upgrade {
namespace {

namespace fs = std::filesystem;
using integration::SimulatorSysRoot;

class Engine : public ::testing::Test {
protected:
    SimulatorSysRoot sysroot;
    fakes::FakeEventLog eventLog;
    eventlog::EventLogReporter log{eventLog, L"TarnUpgradeProcess", 21};
    fakes::RecordingOutput out;
    EngineContext context{log, out, platform::systemProcesses(), platform::systemFileSystem(),
                          platform::systemClock()};

    void SetUp() override {
        sysroot.installSimulator();
        sysroot.makePackage("fw-0103.dfu", "0103");
    }
    void addDevice(const std::string& serial, const std::string& mode, const std::string& version) {
        sysroot.sim({"add", serial, "--mode", mode, "--version", version});
    }
    void fault(const std::string& serial, const std::string& setting) {
        sysroot.sim({"set", serial, setting});
    }
    std::string device(const std::string& serial) { return sysroot.sim({"show", serial}); }

    // One arrival's pass, as the worker runs it.
    std::int32_t pass() {
        TarnUpgradeProcess engine(context, false);
        const std::int32_t listed = engine.initDfuDevList();
        return listed == kOutcomeListed ? engine.doUpgrade() : -listed;
    }
};

TEST_F(Engine, TwoPassesUpgradeARuntimeDevice) {
    addDevice("SN0001", "runtime", "0102");

    TarnUpgradeProcess listing(context, false);
    ASSERT_EQ(listing.initDfuDevList(), kOutcomeListed);
    EXPECT_EQ(listing.updev.mode, kModeRuntime);
    EXPECT_EQ(listing.updev.sn, L"SN0001");
    EXPECT_EQ(listing.updev.cfgId, 1);
    EXPECT_EQ(listing.targetVersion, L"0103");
    EXPECT_TRUE(listing.upgradeNeeded);

    EXPECT_EQ(listing.doUpgrade(), kOutcomeDetached);
    EXPECT_NE(device("SN0001").find("dfu"), std::string::npos);
    const auto events = sysroot.announcements();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].rfind("removal ", 0), 0u);
    EXPECT_NE(events[1].find("PID_5711"), std::string::npos);

    EXPECT_EQ(pass(), kOutcomeWritten);
    const std::string after = device("SN0001");
    EXPECT_NE(after.find("runtime"), std::string::npos);
    EXPECT_NE(after.find("0103"), std::string::npos);
    EXPECT_TRUE(eventLog.contains(L"TarnUpdateResult is 4"));

    // Back in runtime mode with the new firmware: nothing more to do.
    EXPECT_EQ(pass(), kOutcomeNoUpgradeNeeded);
    EXPECT_TRUE(fs::exists(sysroot.services() / "fw-0103.dfu"));
}

// The suffix as dfu-suffix itself writes it is taken, and its release is what gets flashed.
TEST_F(Engine, APackageSuffixedByDfuSuffixIsFlashed) {
    fs::remove(sysroot.services() / "fw-0103.dfu");
    const fs::path package = sysroot.services() / "fw-0104.dfu";
    std::ofstream(package, std::ios::binary) << std::string(5000, '\x17');
    const auto suffixed = integration::run(
        {"/usr/bin/dfu-suffix", "-a", package.string(), "-v", "7c3e", "-p", "5711", "-d", "0104"});
    ASSERT_EQ(suffixed.exitCode, 0) << suffixed.output;
    addDevice("SN0001", "dfu", "0102");
    EXPECT_EQ(pass(), kOutcomeWritten);
    EXPECT_TRUE(eventLog.contains(L"get targetVersion is 0104!"));
    EXPECT_NE(device("SN0001").find("version = 0104"), std::string::npos);
}

// A copy of a newer package cut short must not hold back the good one beside it.
TEST_F(Engine, ADamagedNewestPackageLeavesTheGoodOneToBeFlashed) {
    sysroot.makePackage("fw-0102.dfu", "0102");
    sysroot.makePackage("fw-0199.dfu", "0199");
    const fs::path cut = sysroot.services() / "fw-0199.dfu";
    fs::resize_file(cut, fs::file_size(cut) / 2);
    addDevice("SN0001", "dfu", "0101");
    EXPECT_EQ(pass(), kOutcomeWritten);
    EXPECT_NE(device("SN0001").find("version = 0103"), std::string::npos);
    EXPECT_TRUE(eventLog.contains(L"package " + std::wstring(kServiceDirectory) +
                                  L"fw-0199.dfu has no valid DFU suffix: bad signature"));
    EXPECT_TRUE(fs::exists(cut));
}

TEST_F(Engine, ASerialWithBlanksIsOneArgumentForTheTool) {
    addDevice("SN 0001", "runtime", "0102");
    EXPECT_EQ(pass(), kOutcomeDetached);
    EXPECT_NE(device("SN 0001").find("dfu"), std::string::npos);
    EXPECT_EQ(pass(), kOutcomeWritten);
}

TEST_F(Engine, CurrentOrNewerFirmwareIsLeftAlone) {
    addDevice("SN0001", "runtime", "0200");
    EXPECT_EQ(pass(), kOutcomeNoUpgradeNeeded);
    EXPECT_TRUE(sysroot.announcements().empty());
}

TEST_F(Engine, NoPackageNeverRunsTheTool) {
    fs::remove(sysroot.services() / "fw-0103.dfu");
    fs::remove(sysroot.services() / "dfu-util.exe"); // would fail the pass if it were run
    EXPECT_EQ(pass(), -kOutcomeNoPackage);
}

TEST_F(Engine, AMissingToolFailsTheListing) {
    fs::remove(sysroot.services() / "dfu-util.exe");
    EXPECT_EQ(pass(), -kOutcomeGeneralFailure);
    EXPECT_TRUE(eventLog.contains(L"CreateProcess Failed!"));
}

// The factor shortens the fixed waits only: a tool that takes a real second to list is not cut
// off, however small the factor.
TEST_F(Engine, ASlowListingIsNotCutShortByTheSleepFactor) {
    sysroot.installTool("sleep 1\necho 'dfu-util 0.11'\necho 'Found Runtime: [7c3e:5710] ver=0102, "
                        "devnum=4, cfg=1, intf=0, path=\"1-1\", alt=0, serial=\"SN0001\"'");
    TarnUpgradeProcess engine(context, false);
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    EXPECT_FALSE(eventLog.contains(L"handlePipeInfo timeout, dfu-util terminated"));
    EXPECT_EQ(engine.updev.mode, kModeRuntime);
    EXPECT_EQ(engine.updev.sn, L"SN0001");
}

TEST_F(Engine, ListingFaults) {
    addDevice("SN0001", "runtime", "0102");
    fault("SN0001", "fault.listing=crlf");
    TarnUpgradeProcess crlf(context, false);
    ASSERT_EQ(crlf.initDfuDevList(), kOutcomeListed);
    EXPECT_EQ(crlf.updev.sn, L"SN0001"); // the carriage return trimmed

    for (const char* setting : {"fault.listing=garbage", "fault.listing=silent"}) {
        fault("SN0001", setting);
        EXPECT_EQ(pass(), kOutcomeGeneralFailure) << setting; // no device recognised
    }
}

TEST_F(Engine, AnIgnoredDetachLeavesTheDeviceInRuntimeMode) {
    addDevice("SN0001", "runtime", "0102");
    fault("SN0001", "fault.detach=ignore");
    EXPECT_EQ(pass(), kOutcomeDetached); // the pass cannot tell
    EXPECT_NE(device("SN0001").find("runtime"), std::string::npos);
    EXPECT_TRUE(sysroot.announcements().empty());
}

TEST_F(Engine, DownloadFaults) {
    struct Case {
        const char* setting;
        std::int32_t outcome;
    };
    const Case cases[] = {
        {"fault.download=error", kOutcomeDownloadFailed},
        {"fault.download=no-done", kOutcomeDownloadFailed},
        {"fault.download=silent", kOutcomeGeneralFailure}, // nothing to examine
        {"fault.download=die", kOutcomeDownloadFailed},
        {"fault.download=flood", kOutcomeWritten},
    };
    addDevice("SN0001", "dfu", "0102");
    // Each read costs its (shortened) 100 ms pause: 2 MB stays well inside the download's bound.
    fault("SN0001", "flood-size=2M");
    for (const auto& c : cases) {
        fault("SN0001", c.setting);
        EXPECT_EQ(pass(), c.outcome) << c.setting;
        EXPECT_TRUE(fs::exists(sysroot.services() / "fw-0103.dfu")) << c.setting;
        if (c.outcome == kOutcomeWritten) {
            EXPECT_NE(device("SN0001").find("0103"), std::string::npos);
        } else {
            EXPECT_NE(device("SN0001").find("dfu"), std::string::npos) << c.setting;
        }
    }
}

TEST_F(Engine, AHungDownloadIsEndedAtTheBound) {
    addDevice("SN0001", "dfu", "0102");
    fault("SN0001", "fault.download=hang");
    context.bounds.download = std::chrono::seconds(2);
    EXPECT_EQ(pass(), kOutcomeDownloadFailed);
    EXPECT_TRUE(eventLog.contains(L"handlePipeInfo timeout, dfu-util terminated"));
    // The next pass is not held up by the ended child.
    fault("SN0001", "fault.download=none");
    EXPECT_EQ(pass(), kOutcomeWritten);
}

TEST_F(Engine, APlantedProgramExeIsNeverRun) {
    const fs::path marker = sysroot.root() / "planted-ran";
    for (const char* name : {"Program", "Program.exe"}) {
        const fs::path planted = sysroot.root() / name;
        std::ofstream(planted) << "#!/bin/sh\ntouch '" << marker.string() << "'\n";
        fs::permissions(planted, fs::perms::owner_all);
    }
    addDevice("SN0001", "runtime", "0102");
    TarnUpgradeProcess engine(context, false);
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    EXPECT_EQ(engine.updev.mode, kModeRuntime); // the simulator answered
    EXPECT_EQ(engine.doUpgrade(), kOutcomeDetached);
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(Engine, ARealFileSetAside) {
    // A read-only package counts as the oldest; the newer one by name is chosen.
    sysroot.makePackage("fw-0104.dfu", "0104");
    fs::permissions(sysroot.services() / "fw-0103.dfu",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    sysroot.makePackage("fw-0102.dfu", "0102");
    TarnUpgradeProcess engine(context, false);
    ASSERT_EQ(engine.initUpgradeInfo(kServiceDirectory), 1);
    EXPECT_EQ(engine.packageName, L"fw-0104.dfu");
    EXPECT_EQ(engine.targetVersion, L"0104");
    EXPECT_TRUE(eventLog.contains(L"adding fw-0103.dfu to the sorted list"));
    EXPECT_EQ(eventLog.texts()[4], L"adding fw-0103.dfu to the sorted list"); // first
}

} // namespace
} // namespace tarn::upgrade
