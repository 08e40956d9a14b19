// The engine reads the real tool as it reads the simulator; the wrapper hands the tool the
// service's own arguments.
#include "UsbBus.h"
#include "fakes/FakeEventLog.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace tarn::upgrade {
namespace {

using integration::ScopedEnvironment;
using integration::SimulatorSysRoot;
using integration::TempSysRoot;
using integration::UsbBus;

class ListingGrammar : public ::testing::Test {
protected:
    SimulatorSysRoot sysroot;
    UsbBus bus;
    fakes::FakeEventLog eventLog;
    eventlog::EventLogReporter log{eventLog, L"TarnUpgradeProcess", 21};
    fakes::RecordingOutput out;
    EngineContext context{log, out, platform::systemProcesses(), platform::systemFileSystem(),
                          platform::systemClock()};

    void SetUp() override { sysroot.makePackage("fw-0103.dfu", "0103"); }

    struct Listing {
        std::vector<std::wstring> messages;
        UpgradeDevice device;
    };
    Listing list() {
        eventLog.clear();
        TarnUpgradeProcess engine(context, false);
        EXPECT_EQ(engine.initDfuDevList(), kOutcomeListed);
        return {eventLog.texts(), engine.updev};
    }
    // The same device listed by the real tool on the bus and by the simulator.
    void compare(const std::string& mode) {
        bus.ctl({"plug", "SN0001", "mode=" + mode, "version=0102"});
        auto emulated = bus.device("SN0001");
        UsbBus::installTool(sysroot.services());
        Listing real;
        {
            ScopedEnvironment preload(bus.environment());
            real = list();
        }
        sysroot.installSimulator();
        sysroot.sim({"add", "SN0001", "--mode", mode, "--version", "0102", "--devnum",
                     emulated["devnum"], "--path", emulated["port"]});
        const Listing simulated = list();

        ASSERT_GT(real.messages.size(), 10u); // banner, device line, its record
        EXPECT_EQ(real.messages, simulated.messages);
        EXPECT_EQ(real.device.mode, mode == "dfu" ? kModeDfu : kModeRuntime);
        EXPECT_EQ(real.device.version, L"0102");
        EXPECT_EQ(real.device.sn, L"SN0001");
        EXPECT_EQ(real.device.cfgId, 1);
    }
};

TEST_F(ListingGrammar, TheRealRuntimeListingReadsAsTheSimulatorsLineForLine) {
    compare("runtime");
}

TEST_F(ListingGrammar, TheRealDfuListingReadsAsTheSimulatorsLineForLine) {
    compare("dfu");
}

// The real tool's own texts: a detach it refuses (and leaves the Tarn in dfuERROR), a download
// that clears that state first, and a manifestation refused, after which it still says "Done!".
TEST_F(ListingGrammar, TheRealToolsRefusalAndErrorStatesMeanWhatTheySay) {
    bus.ctl({"plug", "SN0001", "mode=dfu", "version=0102"});
    UsbBus::installTool(sysroot.services());
    // No image header: the Tarn refuses to run it. Made before the bus's preload, which an
    // instrumented simulator refuses to start under, and put in place after the first download.
    const auto headerless = sysroot.root() / "fw-0104.dfu";
    sysroot.sim({"make-package", headerless.string(), "--version", "0104", "--size", "8"});
    ScopedEnvironment preload(bus.environment());
    const auto pass = [&] {
        eventLog.clear();
        TarnUpgradeProcess engine(context, false);
        EXPECT_EQ(engine.initDfuDevList(), kOutcomeListed);
        return engine.doUpgrade();
    };
    {
        TarnUpgradeProcess engine(context, false);
        UpgradeDevice runtime{L"0102", 1, L"SN0001", kModeRuntime};
        engine.doDevDetach(runtime);
    }
    EXPECT_TRUE(eventLog.contains(L"doDevDetach dfu-util refused: dfu-util: can't detach"));
    EXPECT_EQ(bus.device("SN0001")["dfuState"], "10");
    EXPECT_EQ(pass(), kOutcomeWritten);
    EXPECT_TRUE(eventLog.contains(L"analyseBuffer error state cleared: strTmp=DFU state(10) = "
                                  L"dfuERROR, status(15) = Device stalled an unexpected request"));

    ASSERT_TRUE(integration::waitUntil([&] { return bus.device("SN0001")["present"] == "1"; }));
    bus.ctl({"unplug", "SN0001"});
    bus.ctl({"plug", "SN0001", "mode=dfu"});
    std::filesystem::rename(headerless, sysroot.services() / "fw-0104.dfu");
    EXPECT_EQ(pass(), kOutcomeDownloadFailed);
    EXPECT_TRUE(eventLog.contains(L"analyseBuffer Upgrade check ERROR: strTmp=DFU state(10) = "
                                  L"dfuERROR, status(10) = Device's firmware is corrupt. It cannot "
                                  L"return to run-time (non-DFU) operations"));
}

// What argv-echo prints for these arguments.
std::string echoed(const std::vector<std::string>& args) {
    std::string text = "argc " + std::to_string(args.size() + 1) + "\n";
    for (const auto& a : args) {
        text += std::to_string(a.size()) + ":" + a + "\n";
    }
    return text;
}

TEST(Wrapper, PassesTheServicesArgumentsDroppingOnlyTheDetachsForceAndMappingDrives) {
    TempSysRoot sysroot;
    UsbBus::installTool(sysroot.services());
    const std::string wrapper = (sysroot.services() / "dfu-util.exe").string();
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), wrapper);
        const auto result =
            integration::run(args, {std::string("TARN_DFU_UTIL=") + TARN_ARGV_ECHO});
        EXPECT_EQ(result.exitCode, 0);
        // argv-echo also names itself first; only the arguments matter here.
        const auto firstArgument = result.output.find('\n', result.output.find('\n') + 1);
        return result.output.substr(0, result.output.find('\n') + 1) +
               result.output.substr(firstArgument + 1);
    };

    EXPECT_EQ(run({"-l"}), echoed({"-l"}));
    EXPECT_EQ(run({"-d", "7c3e:5710,7c3e:5711", "-S", "SN 0\"01", "-c", "1", "-e", "-f"}),
              echoed({"-d", "7c3e:5710,7c3e:5711", "-S", "SN 0\"01", "-c", "1", "-e"}));
    EXPECT_EQ(run({"-d", "7c3e:5710,7c3e:5711", "-S", "-f", "-D",
                   "C:\\Program Files\\Vantor\\Tarn\\Services\\fw-0103.dfu"}),
              echoed({"-d", "7c3e:5710,7c3e:5711", "-S", "-f", "-D",
                      (sysroot.services() / "fw-0103.dfu").string()}));
    EXPECT_EQ(run({"-D", "Z:\\tmp\\x y.dfu"}), echoed({"-D", "/tmp/x y.dfu"}));
    // An -f that does not close a detach is the tool's to judge.
    EXPECT_EQ(run({"-l", "-f"}), echoed({"-l", "-f"}));
}

} // namespace
} // namespace tarn::upgrade
