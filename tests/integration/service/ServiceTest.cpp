// The service as an administrator meets it on the stand-in: installed by itself, started and
// controlled through tarn-sc, its story read from the event log.
#include "IntegrationSupport.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

namespace tarn::integration {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

class Service : public ::testing::Test {
protected:
    SimulatorSysRoot sysroot;
    ServiceUnderTest service{sysroot};

    void SetUp() override {
        sysroot.installSimulator();
        sysroot.makePackage("fw-0103.dfu", "0103");
    }
    void TearDown() override { service.sc({"stop", kServiceName}); }
    std::string store() const {
        return readFile(sysroot.root() / "Windows/System32/config/services" / kServiceName);
    }
    // The texts from the first occurrence of `from` on.
    Texts textsFrom(const std::string& from) const {
        const Texts all = service.texts();
        auto it = std::find(all.begin(), all.end(), from);
        return Texts(it, all.end());
    }
};

TEST_F(Service, InstallsItselfQuotedAndOnlyOnce) {
    const CommandResult first = service.direct({"install"});
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_EQ(service.texts(), (Texts{"service start install.", "create service success.",
                                      "service install success."}));
    const std::string registered = store();
    EXPECT_NE(registered.find("binaryPathName=\"C:\\Program Files\\Vantor\\Tarn\\Services\\"
                              "VantorTarnWindowsUpdateService.exe\""),
              std::string::npos)
        << registered;
    EXPECT_NE(registered.find("serviceType=16"), std::string::npos);
    EXPECT_NE(registered.find("startType=2"), std::string::npos);
    for (const char* setting : {"errorControl=1\n", "preshutdownTimeout=240000\n",
                                "failureActions=86400 1/60000 1/60000 1/60000\n",
                                "failureActionsOnNonCrashFailures=1\n"}) {
        EXPECT_NE(registered.find(setting), std::string::npos) << setting << registered;
    }

    EXPECT_EQ(service.direct({"install"}).exitCode, 255); // -1
    EXPECT_EQ(service.texts().back(), "service install failed.");
    EXPECT_EQ(service.countOf("create service failed."), 1);
    // Every process starts its counters afresh.
    const auto log = readEventLog(sysroot.root());
    EXPECT_EQ(log[0].id, 1u);
    EXPECT_EQ(log[3].id, 1u);
    EXPECT_EQ(log[3].source, kServiceName);
}

TEST_F(Service, AnExecutableBeyondTheModulePathBufferIsRegisteredQuoted) {
    // Deep enough that its Windows path exceeds 260 characters: GetModuleFileNameW cuts it.
    fs::path deep = sysroot.services();
    for (char c : {'a', 'b', 'c'}) {
        deep /= std::string(90, c);
    }
    fs::create_directories(deep);
    const fs::path copy = deep / "VantorTarnWindowsUpdateService.exe";
    fs::copy_file(service.executable(), copy);
    ASSERT_EQ(run({copy.string(), "install"}).exitCode, 0);

    const std::string windowsPath = "C:\\" + fs::relative(copy, sysroot.root()).string();
    ASSERT_GT(windowsPath.size(), 260u);
    std::string kept = windowsPath.substr(0, 259);
    std::replace(kept.begin(), kept.end(), '/', '\\');
    EXPECT_NE(store().find("binaryPathName=\"" + kept + "\"\n"), std::string::npos) << store();
}

TEST_F(Service, BadParameters) {
    for (const Texts& args : {Texts{"Install"}, Texts{"install", "now"}, Texts{"remove"}}) {
        EXPECT_EQ(service.direct(args).exitCode, 255);
        EXPECT_EQ(service.texts().back(), "service start with bad parameters.");
    }
}

TEST_F(Service, FromAPromptItFailsToConnectThenInstallsItself) {
    const CommandResult r = service.direct();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(service.texts(),
              (Texts{"run Tarn windows update normally.",
                     "start service control dispatcher failed, GetLastErrorCode: 1063",
                     "auto-install service on boot.", "create service success.",
                     "service install success."}));
    EXPECT_EQ(service.sc({"query", kServiceName}).exitCode, 0);
}

TEST_F(Service, StartControlsStopAndTheProcessEnding) {
    ASSERT_TRUE(service.installAndStart());
    // The worker starts before service main reports its success: those two come in either
    // order, and the worker's look at start (which the host's own USB devices may join) with
    // them.
    const std::string lookEnd = "no attached Tarn in DFU mode found.";
    ASSERT_TRUE(service.waitFor(lookEnd));
    ASSERT_TRUE(service.waitFor("initialize service success."));
    Texts started;
    for (const auto& t : textsFrom("run Tarn windows update normally.")) {
        if (t.rfind("Guid = ", 0) != 0 && t != "arrival device is not Vantor Tarn." &&
            t != "look for attached Tarns in DFU mode." && t != lookEnd) {
            started.push_back(t);
        }
    }
    // The look's last entry; service main's own success may come after it.
    Texts look = textsFrom("look for attached Tarns in DFU mode.");
    std::erase(look, std::string("initialize service success."));
    EXPECT_EQ(look.back(), lookEnd);
    ASSERT_EQ(started.size(), 7u);
    std::sort(started.begin() + 5, started.end());
    EXPECT_EQ(
        started,
        (Texts{"run Tarn windows update normally.", "enter service main function.",
               "enter initialize service function.", "register service control handler success.",
               "enter registerStart function.", kStarted, "initialize service success."}));
    EXPECT_NE(service.sc({"query", kServiceName}).output.find("RUNNING"), std::string::npos);

    for (const char* code : {"pause", "continue", "interrogate", "5", "6", "200"}) {
        EXPECT_EQ(service.sc({"control", kServiceName, code}).exitCode, 0) << code;
    }
    ASSERT_TRUE(service.waitFor("control code: SERVICE_CONTROL_INTERROGATE."));
    EXPECT_EQ(
        textsFrom("control code: SERVICE_CONTROL_PAUSE."),
        (Texts{"control code: SERVICE_CONTROL_PAUSE.", "control code: SERVICE_CONTROL_CONTINUE.",
               "control code: SERVICE_CONTROL_INTERROGATE."}));
    EXPECT_NE(service.sc({"query", kServiceName}).output.find("RUNNING"), std::string::npos);

    // Removal is refused while it runs, and changes nothing.
    EXPECT_EQ(service.direct({"uninstall"}).exitCode, 255);
    EXPECT_EQ(service.texts().back(), "service uninstall failed.");
    EXPECT_EQ(service.countOf("service not stopped, can not delete this service."), 1);

    EXPECT_EQ(service.sc({"stop", kServiceName}).exitCode, 0);
    ASSERT_TRUE(service.waitFor("service install failed."));
    EXPECT_EQ(textsFrom("control code: SERVICE_CONTROL_STOP."),
              (Texts{"control code: SERVICE_CONTROL_STOP.", "enter onStop function.",
                     "unregister device notification.", "service control stop success.",
                     "run service success", "auto-install service on boot.",
                     "create service failed.", "service install failed."}));

    EXPECT_EQ(service.direct({"uninstall"}).exitCode, 0);
    EXPECT_EQ(textsFrom("service stopped."),
              (Texts{"service stopped.", "service delete success.", "service uninstall success."}));
    EXPECT_NE(service.sc({"query", kServiceName}).exitCode, 0);
}

TEST_F(Service, ArrivalsOfTarnAndOtherDevices) {
    ASSERT_TRUE(service.installAndStart());
    EXPECT_EQ(service.sc({"arrive", kServiceName, "USB#VID_046D&PID_C52B#1"}).exitCode, 0);
    ASSERT_TRUE(service.waitFor("arrival device is not Vantor Tarn."));
    EXPECT_EQ(service
                  .sc({"device-event", kServiceName, "removecomplete",
                       "{5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}", "x"})
                  .exitCode,
              0);
    ASSERT_TRUE(service.waitFor("device remove"));
    EXPECT_EQ(service.countOf("dwEventType: 32772"), 1);

    // No device attached: the pass lists twice and ends with 7.
    EXPECT_EQ(
        service.sc({"arrive", kServiceName, ServiceUnderTest::interfaceName("5710", "SN0001")})
            .exitCode,
        0);
    ASSERT_TRUE(service.waitFor(kDone));
    EXPECT_EQ(service.workerMessages(), (Texts{kStarted, kQueued0, kHandled, kKeep, kDone}));
    EXPECT_EQ(service.countOf("Guid = {5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}"), 2);
    EXPECT_EQ(service.countOf(kQueued0), 1);
    EXPECT_EQ(service.countOf("updev.mode is  2 retry is 0"), 1);
    EXPECT_EQ(service.countOf(kHandled), 1);
}

TEST_F(Service, TheWholeUpgradeThroughBothPasses) {
    sysroot.sim({"add", "SN0001", "--mode", "runtime", "--version", "0102"});
    ASSERT_TRUE(service.installAndStart());
    service.connectSimulator();
    ASSERT_EQ(
        service.sc({"arrive", kServiceName, ServiceUnderTest::interfaceName("5710", "SN0001")})
            .exitCode,
        0);
    ASSERT_TRUE(service.waitFor("return for latest build!", 1));
    ASSERT_TRUE(service.waitFor(kDone, 3));

    // The worker's own messages, pass by pass: detach (3), download (4), nothing more (6).
    EXPECT_EQ(service.workerMessages(), (Texts{kStarted, kQueued0, kDone, kQueued0, kHandled, kKeep,
                                               kDone, kQueued0, kHandled, kKeep, kDone}));
    EXPECT_EQ(service.countOf("TarnUpdateResult is 4"), 1);
    EXPECT_NE(sysroot.sim({"show", "SN0001"}).find("0103"), std::string::npos);
    // The record as the last pass left it, printed as reg query prints it.
    const auto record =
        service.sc({"reg", "query", "HKLM\\SOFTWARE\\Vantor\\Tarn\\Devices\\SN0001"});
    EXPECT_EQ(record.exitCode, 0);
    for (const char* line :
         {"\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Tarn\\Devices\\SN0001\n",
          "\n    FirmwareVersion    REG_SZ    0103\n", "\n    Mode    REG_SZ    runtime\n",
          "\n    LastOutcome    REG_DWORD    0x6\n",
          "\n    LastOutcomeText    REG_SZ    up to date\n",
          "\n    LastPackage    REG_SZ    fw-0103.dfu\n"}) {
        EXPECT_NE(record.output.find(line), std::string::npos) << line << record.output;
    }
}

} // namespace
} // namespace tarn::integration
