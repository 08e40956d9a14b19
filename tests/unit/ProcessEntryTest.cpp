// The process entry and installation: every path, every failing call, every exit code.
#include "fakes/HostFixture.h"

namespace tarn::service {
namespace {

using Strings = std::vector<std::wstring>;

class Entry : public fakes::HostFixture {
protected:
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "VantorTarnWindowsUpdateService.exe");
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        return processEntry(host, static_cast<int>(args.size()), argv.data());
    }
};

TEST_F(Entry, BadParameters) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"Install"},
                                                                  {"install "},
                                                                  {"installer"},
                                                                  {"UNINSTALL"},
                                                                  {""},
                                                                  {"install", "x"},
                                                                  {"uninstall", "install"}}) {
        eventLog.clear();
        EXPECT_EQ(run(args), -1);
        EXPECT_EQ(serviceTexts(), Strings{L"service start with bad parameters."});
    }
    EXPECT_TRUE(manager.calls.empty());
    EXPECT_EQ(typeOf(L"service start with bad parameters."), 1);
}

TEST_F(Entry, Install) {
    EXPECT_EQ(run({"install"}), 0);
    EXPECT_EQ(serviceTexts(), (Strings{L"service start install.", L"create service success.",
                                       L"service install success."}));
    ASSERT_TRUE(manager.created);
    const auto& c = *manager.created;
    EXPECT_EQ(c.serviceName, L"VantorTarnWindowsUpdateService");
    EXPECT_EQ(c.displayName, L"VantorTarnWindowsUpdateService");
    EXPECT_EQ(c.desiredAccess, 0xF01FFu);
    EXPECT_EQ(c.serviceType, 0x10u);
    EXPECT_EQ(c.startType, 2u);
    EXPECT_EQ(c.errorControl, 1u); // normal: a failed start at boot restarts no PC
    // Quoted, so that "C:\Program.exe" is never tried.
    EXPECT_EQ(c.binaryPathName, L"\"C:\\Program Files\\Vantor\\Tarn\\Services\\"
                                L"VantorTarnWindowsUpdateService.exe\"");
    EXPECT_EQ(manager.accessRequested, std::vector<std::uint32_t>{0x0002});
    EXPECT_EQ(
        manager.calls,
        (Strings{L"OpenSCManager", L"GetModuleFileName", L"CreateService",
                 L"ChangeServiceConfig2 PreshutdownInfo", L"ChangeServiceConfig2 FailureActions",
                 L"ChangeServiceConfig2 FailureActionsFlag", L"Close service", L"Close manager"}));
    EXPECT_EQ(typeOf(L"service start install."), 2);
    EXPECT_EQ(typeOf(L"create service success."), 0);
    // A shutdown waits for one download pass; any failure, crash or not, restarts it.
    EXPECT_EQ(manager.preshutdownTimeout, 240000u);
    const platform::FailureAction restart{1, 60000}; // SC_ACTION_RESTART after a minute
    EXPECT_EQ(manager.failureActions,
              (platform::FailureActions{86400, {restart, restart, restart}}));
    EXPECT_EQ(manager.failureActionsFlag, true);
}

// A path cut at the buffer's end comes with the terminating NUL in the buffer's last place:
// the path ends there, and the closing quote must follow it, not the NUL.
TEST_F(Entry, ACutModulePathIsRegisteredWithItsClosingQuote) {
    const std::wstring kept = L"C:\\" + std::wstring(256, L'd');
    manager.modulePath = kept + L'\0';
    EXPECT_EQ(run({"install"}), 0);
    ASSERT_TRUE(manager.created);
    EXPECT_EQ(manager.created->binaryPathName, L"\"" + kept + L"\"");
}

TEST_F(Entry, InstallFailures) {
    manager.failOpenManager = true;
    EXPECT_EQ(run({"install"}), -1);
    EXPECT_EQ(serviceTexts(),
              (Strings{L"service start install.", L"open service control manager failed.",
                       L"service install failed."}));

    manager = fakes::FakeServiceManager();
    manager.modulePath.reset();
    eventLog.clear();
    EXPECT_EQ(run({"install"}), -1);
    EXPECT_EQ(serviceTexts()[1], L"get module file name failed.");
    EXPECT_EQ(manager.calls.back(), L"Close manager");

    manager = fakes::FakeServiceManager();
    manager.failCreate = true; // e.g. the service exists already
    eventLog.clear();
    EXPECT_EQ(run({"install"}), -1);
    EXPECT_EQ(serviceTexts()[1], L"create service failed.");
    EXPECT_EQ(manager.calls.back(), L"Close manager");
}

TEST_F(Entry, Uninstall) {
    EXPECT_EQ(run({"uninstall"}), 0);
    EXPECT_EQ(serviceTexts(), (Strings{L"service stopped.", L"service delete success.",
                                       L"service uninstall success."}));
    EXPECT_EQ(manager.accessRequested, (std::vector<std::uint32_t>{0x0001, 0x10004}));
    EXPECT_EQ(
        manager.calls,
        (Strings{L"OpenSCManager", L"OpenService VantorTarnWindowsUpdateService",
                 L"QueryServiceStatus", L"DeleteService", L"Close service", L"Close manager"}));
}

TEST_F(Entry, UninstallFailures) {
    struct Case {
        std::function<void(fakes::FakeServiceManager&)> arrange;
        std::wstring message;
        Strings closes;
    };
    const Case cases[] = {
        {[](auto& m) { m.failOpenManager = true; }, L"open service control manager failed.", {}},
        {[](auto& m) { m.failOpenService = true; },
         L"Open Tarn windows update service failed.",
         {L"Close manager"}},
        {[](auto& m) { m.failQuery = true; },
         L"query service status failed.",
         {L"Close service", L"Close manager"}},
        {[](auto& m) { m.currentState = 4; },
         L"service not stopped, can not delete this service.",
         {L"Close service", L"Close manager"}},
        {[](auto& m) { m.currentState = 2; },
         L"service not stopped, can not delete this service.",
         {L"Close service", L"Close manager"}},
        {[](auto& m) { m.currentState = 3; },
         L"service not stopped, can not delete this service.",
         {L"Close service", L"Close manager"}},
        {[](auto& m) { m.failDelete = true; },
         L"service delete failed.",
         {L"Close service", L"Close manager"}},
    };
    for (const auto& c : cases) {
        manager = fakes::FakeServiceManager();
        c.arrange(manager);
        eventLog.clear();
        EXPECT_EQ(run({"uninstall"}), -1) << c.message;
        const Strings texts = serviceTexts();
        EXPECT_NE(std::find(texts.begin(), texts.end(), c.message), texts.end()) << c.message;
        EXPECT_EQ(texts.back(), L"service uninstall failed.");
        Strings closes;
        for (const auto& call : manager.calls) {
            if (call.rfind(L"Close", 0) == 0) {
                closes.push_back(call);
            }
        }
        EXPECT_EQ(closes, c.closes) << c.message;
        EXPECT_FALSE(manager.deleted);
    }
}

TEST_F(Entry, FromAPromptTheDispatcherFailsAndTheServiceInstallsItself) {
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(serviceTexts(),
              (Strings{L"run Tarn windows update normally.",
                       L"start service control dispatcher failed, GetLastErrorCode: 1063",
                       L"auto-install service on boot.", L"create service success.",
                       L"service install success."}));
    EXPECT_EQ(runtime.calls.front(), L"StartServiceCtrlDispatcher VantorTarnWindowsUpdateService");
}

TEST_F(Entry, AfterARealRunTheInstallationFails) {
    runtime.dispatcherConnects = true;
    manager.failCreate = true; // installed already
    EXPECT_EQ(run({}), -1);
    EXPECT_EQ(serviceTexts(), (Strings{L"run Tarn windows update normally.", L"run service success",
                                       L"auto-install service on boot.", L"create service failed.",
                                       L"service install failed."}));
    EXPECT_EQ(eventLog.events[0].id, 1u);
    EXPECT_EQ(eventLog.events[4].id, 5u);
}

} // namespace
} // namespace tarn::service
