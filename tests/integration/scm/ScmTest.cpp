// The stand-in Service Control Manager black-box: a test service installed through the seam and
// driven through the real tarn-sc, in a system root of its own.
#include "TestSupport.h"
#include "platform/Service.h"
#include "platform/standin/SysRoot.h"
#include "portable/Utf8.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tarn::platform;
using namespace tarn::portable;
using tarn::integration::CommandResult;
using tarn::integration::run;
using tarn::integration::waitUntil;

constexpr wchar_t kName[] = L"TarnScmTestService";
constexpr char kNameUtf8[] = "TarnScmTestService";
constexpr char kTarnClass[] = "{5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}";

// `environment` ("NAME=value") is for tarn-sc, and so for a service it starts.
CommandResult sc(std::vector<std::string> args, const std::vector<std::string>& environment = {}) {
    args.insert(args.begin(), TARN_SC);
    return run(std::move(args), environment);
}

std::vector<std::string> lines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

bool contains(const std::vector<std::string>& haystack, const std::string& needle) {
    return std::find(haystack.begin(), haystack.end(), needle) != haystack.end();
}

class ScmTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A directory with blanks, registered unquoted as the product does.
        const auto dir = root_ / "Program Files" / "Tarn Test";
        std::filesystem::create_directories(dir);
        program_ = dir / "tarn_scm_test_service";
        std::filesystem::copy_file(TEST_SERVICE, program_);
        std::filesystem::permissions(program_, std::filesystem::perms::owner_all);
    }

    void TearDown() override {
        if (auto pid = storedPid(); pid > 0) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }

    std::filesystem::path store() const {
        return root_ / "Windows" / "System32" / "config" / "services";
    }

    long long storedPid() const {
        for (const auto& line : lines(store() / kNameUtf8)) {
            if (line.rfind("processId=", 0) == 0) {
                return std::stoll(line.substr(10));
            }
        }
        return 0;
    }

    void install(const std::wstring& binaryPath) {
        auto& manager = systemServiceManager();
        auto scm = manager.openSCManager(0x0002);
        ASSERT_TRUE(scm);
        ServiceConfig config{kName, kName, 0xF01FF, 0x10, 2, 3, binaryPath};
        ASSERT_TRUE(manager.createService(scm, config));
    }
    void install() { install(L"C:\\Program Files\\Tarn Test\\tarn_scm_test_service"); }

    std::optional<ServiceStatus> query() {
        auto& manager = systemServiceManager();
        auto scm = manager.openSCManager(0x0001);
        auto service = scm ? manager.openService(scm, kName, 0x10004) : ServiceHandle{};
        ServiceStatus status;
        if (!service || !manager.queryServiceStatus(service, status)) {
            return std::nullopt;
        }
        return status;
    }

    std::vector<std::string> controls() const { return lines(root_ / "controls.log"); }
    std::vector<std::string> serviceLog() const { return lines(root_ / "service.log"); }

    tarn::integration::TempSysRoot sysroot_;
    const std::filesystem::path& root_ = sysroot_.root();
    std::filesystem::path program_;
};

TEST_F(ScmTest, InstallQueryAndDeleteThroughTheSeam) {
    auto& manager = systemServiceManager();
    auto& runtime = systemServiceRuntime();
    install();
    EXPECT_TRUE(contains(lines(store() / kNameUtf8),
                         "binaryPathName=C:\\Program Files\\Tarn Test\\tarn_scm_test_service"));
    EXPECT_TRUE(contains(lines(store() / kNameUtf8), "account=LocalSystem"));
    EXPECT_TRUE(contains(lines(store() / kNameUtf8), "errorControl=3"));

    auto scm = manager.openSCManager(0x0002);
    ServiceConfig again{kName, L"other", 0xF01FF, 0x10, 2, 3, L"C:\\x.exe"};
    EXPECT_FALSE(manager.createService(scm, again));
    EXPECT_EQ(runtime.lastError(), 1073u);
    EXPECT_FALSE(manager.openService(scm, L"NoSuchService", 0x10004));
    EXPECT_EQ(runtime.lastError(), 1060u);
    auto connectOnly = manager.openSCManager(0x0001);
    ServiceConfig other{L"Other", L"Other", 0xF01FF, 0x10, 2, 3, L"C:\\x.exe"};
    EXPECT_FALSE(manager.createService(connectOnly, other));
    EXPECT_EQ(runtime.lastError(), 5u);

    auto status = query();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->currentState, 1u);
    EXPECT_EQ(status->serviceType, 0x10u);
    auto shown = sc({"query", kNameUtf8});
    EXPECT_EQ(shown.exitCode, 0);
    EXPECT_NE(shown.output.find("STATE              : 1  STOPPED"), std::string::npos)
        << shown.output;

    auto service = manager.openService(scm, kName, 0x10004);
    ASSERT_TRUE(service);
    EXPECT_TRUE(manager.deleteService(service));
    EXPECT_FALSE(manager.deleteService(service));
    EXPECT_FALSE(manager.openService(scm, kName, 0x10004));
    EXPECT_NE(sc({"query", kNameUtf8}).exitCode, 0);
}

TEST_F(ScmTest, ManagerCannotBeOpenedWhereTheStoreCannotBeCreated) {
    std::ofstream(root_ / "Windows") << "not a directory";
    EXPECT_FALSE(systemServiceManager().openSCManager(0x0002));
    EXPECT_EQ(systemServiceRuntime().lastError(), 5u);
}

TEST_F(ScmTest, ProgramStartedFromAPromptFailsWith1063) {
    auto result = run({program_.string()});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_TRUE(contains(serviceLog(), "dispatcher=0 error=1063"));
}

TEST_F(ScmTest, ServiceCallsOutsideTheDispatcherAreRefused) {
    auto& runtime = systemServiceRuntime();
    auto handler = [](std::uint32_t, std::uint32_t, void*, void*) -> std::uint32_t { return 0; };
    EXPECT_EQ(runtime.registerServiceCtrlHandlerEx(kName, handler, nullptr), nullptr);
    EXPECT_EQ(runtime.lastError(), 1083u);
    int notAHandle = 0;
    EXPECT_FALSE(runtime.setServiceStatus(&notAHandle, ServiceStatus{0x30, 4, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(runtime.registerDeviceNotification(&notAHandle, Guid{}));
}

TEST_F(ScmTest, AProgramThatDispatchesAnotherServiceDoesNotStart) {
    // Registered under another name than the one its dispatch table gives.
    auto& manager = systemServiceManager();
    auto scm = manager.openSCManager(0x0002);
    ServiceConfig config{L"Other",
                         L"Other",
                         0xF01FF,
                         0x10,
                         2,
                         3,
                         L"C:\\Program Files\\Tarn Test\\tarn_scm_test_service"};
    ASSERT_TRUE(manager.createService(scm, config));
    EXPECT_NE(sc({"start", "Other"}).exitCode, 0);
    EXPECT_TRUE(contains(serviceLog(), "dispatcher=0 error=1083"));
}

TEST_F(ScmTest, StartControlAndStopRunTheWholeLifecycle) {
    EXPECT_NE(sc({"start", kNameUtf8}).exitCode, 0); // not installed
    install();
    auto started = sc({"start", kNameUtf8});
    ASSERT_EQ(started.exitCode, 0) << started.output;
    EXPECT_NE(started.output.find("4  RUNNING"), std::string::npos) << started.output;
    EXPECT_NE(sc({"start", kNameUtf8}).exitCode, 0); // already running

    auto status = query();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->currentState, 4u);
    EXPECT_EQ(status->serviceType, 0x30u);
    EXPECT_EQ(status->controlsAccepted, 0x101u);
    ASSERT_TRUE(waitUntil([&] { return serviceLog().size() >= 4; }));
    const auto log = serviceLog();
    EXPECT_TRUE(contains(log, "module=C:\\Program Files\\Tarn Test\\tarn_scm_test_service"));
    EXPECT_TRUE(contains(log, "main argc=1 argv0=TarnScmTestService"));
    EXPECT_TRUE(contains(log, "other-name-handler=refused"));
    EXPECT_FALSE(contains(log, "thread=0"));

    const std::vector<std::pair<std::string, int>> codes = {
        {"pause", 2},       {"continue", 3},     {"interrogate", 4}, {"shutdown", 5},
        {"paramchange", 6}, {"preshutdown", 15}, {"7", 7},           {"0xff", 255}};
    for (const auto& [code, number] : codes) {
        auto result = sc({"control", kNameUtf8, code});
        EXPECT_EQ(result.exitCode, 0) << code << result.output;
        EXPECT_EQ(controls().back(), "control=" + std::to_string(number) + " type=0");
    }
    // The handler's return value comes back to the caller.
    auto refused = sc({"control", kNameUtf8, "130"});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.output.find("1234"), std::string::npos) << refused.output;
    EXPECT_NE(sc({"control", kNameUtf8, "11"}).exitCode, 0); // device events have their own
    EXPECT_NE(sc({"control", kNameUtf8, "256"}).exitCode, 0);
    EXPECT_EQ(query()->currentState, 4u); // none of them changed the state

    const long long pid = storedPid();
    auto stopped = sc({"stop", kNameUtf8});
    ASSERT_EQ(stopped.exitCode, 0) << stopped.output;
    EXPECT_EQ(controls().back(), "control=1 type=0");
    status = query();
    EXPECT_EQ(status->currentState, 1u);
    EXPECT_EQ(status->win32ExitCode, 0u);
    // The dispatcher returned and the process ended.
    ASSERT_TRUE(waitUntil([&] { return contains(serviceLog(), "dispatcher=1 error=0"); }));
    ASSERT_TRUE(waitUntil([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
    EXPECT_NE(sc({"stop", kNameUtf8}).exitCode, 0);
    EXPECT_NE(sc({"control", kNameUtf8, "interrogate"}).exitCode, 0);

    // And it can be started again.
    EXPECT_EQ(sc({"start", kNameUtf8}).exitCode, 0);
    EXPECT_EQ(sc({"stop", kNameUtf8}).exitCode, 0);
}

TEST_F(ScmTest, DeviceEventsReachTheHandlerOnlyForTheRegisteredClass) {
    install();
    ASSERT_EQ(sc({"start", kNameUtf8}).exitCode, 0);
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& line : serviceLog()) {
            if (line.rfind("thread=", 0) == 0) {
                return true;
            }
        }
        return false;
    }));

    // Names of several lengths, one beyond the 260 characters of the product's buffer, and
    // characters outside ASCII.
    const std::vector<std::string> names = {
        "",
        "x",
        "\\\\?\\USB#VID_7C3E&PID_5710#SN1#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}",
        std::string(259, 'a'),
        std::string(300, 'b'),
        "\xc3\xa4\xf0\x9f\x98\x80"};
    for (const auto& name : names) {
        const std::size_t length = fromUtf8(name).size();
        auto result = sc({"arrive", kNameUtf8, name});
        ASSERT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(controls().back(),
                  "control=11 type=32768 size=" + std::to_string(28 + (length + 1) * 4) +
                      " devicetype=5 length=" + std::to_string(length) + " name=" + name);
    }
    auto removal = sc({"device-event", kNameUtf8, "removecomplete", kTarnClass, "gone"});
    EXPECT_EQ(removal.exitCode, 0) << removal.output;
    EXPECT_EQ(controls().back(), "control=11 type=32772 size=48 devicetype=5 length=4 name=gone");
    EXPECT_EQ(
        sc({"device-event", kNameUtf8, "0x8000", "5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15", "lower"})
            .exitCode,
        0);

    const std::size_t delivered = controls().size();
    auto foreign = sc(
        {"device-event", kNameUtf8, "32768", "{A5DCBF10-6530-11D2-901F-00C04FB951ED}", "PID_5710"});
    EXPECT_NE(foreign.exitCode, 0);
    EXPECT_NE(foreign.output.find("not delivered"), std::string::npos) << foreign.output;
    EXPECT_EQ(controls().size(), delivered);

    // After the notification is unregistered nothing comes, until it is registered again.
    ASSERT_EQ(sc({"control", kNameUtf8, "128"}).exitCode, 0);
    EXPECT_NE(sc({"arrive", kNameUtf8, "after"}).exitCode, 0);
    EXPECT_EQ(controls().back(), "control=128 type=0");
    ASSERT_EQ(sc({"control", kNameUtf8, "129"}).exitCode, 0);
    EXPECT_EQ(sc({"arrive", kNameUtf8, "again"}).exitCode, 0);
    EXPECT_EQ(controls().back(), "control=11 type=32768 size=52 devicetype=5 length=5 name=again");

    // Callers in several processes at once are served one at a time, none lost.
    std::vector<std::thread> callers;
    std::vector<int> exits(6, -1);
    for (int i = 0; i < 6; ++i) {
        callers.emplace_back([&, i] {
            exits[i] = sc({"arrive", kNameUtf8, "parallel" + std::to_string(i)}).exitCode;
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    const auto all = controls();
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(exits[i], 0);
        const std::string name = "parallel" + std::to_string(i);
        EXPECT_EQ(std::count_if(all.begin(), all.end(),
                                [&](const std::string& l) {
                                    return l.size() > name.size() &&
                                           l.compare(l.size() - name.size(), name.size(), name) ==
                                               0;
                                }),
                  1);
    }
    EXPECT_EQ(sc({"stop", kNameUtf8}).exitCode, 0);
}

TEST_F(ScmTest, NoDeviceEventsBeforeTheServiceRegistersForThem) {
    install();
    // tarn-sc starts the service with its own environment.
    ASSERT_EQ(sc({"start", kNameUtf8}, {"TEST_SERVICE_NO_NOTIFICATION=1"}).exitCode, 0);
    EXPECT_NE(sc({"arrive", kNameUtf8, "PID_5710"}).exitCode, 0);
    EXPECT_TRUE(controls().empty());
    EXPECT_EQ(sc({"stop", kNameUtf8}).exitCode, 0);
}

TEST_F(ScmTest, AServiceWhoseProcessDiedIsStopped) {
    install();
    ASSERT_EQ(sc({"start", kNameUtf8}).exitCode, 0);
    const long long pid = storedPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return query() && query()->currentState == 1; }));
    EXPECT_EQ(query()->win32ExitCode, 1067u);
    auto shown = sc({"query", kNameUtf8});
    EXPECT_NE(shown.output.find("1  STOPPED"), std::string::npos) << shown.output;
    EXPECT_NE(sc({"arrive", kNameUtf8, "PID_5710"}).exitCode, 0);
    EXPECT_EQ(sc({"start", kNameUtf8}).exitCode, 0);
    EXPECT_EQ(sc({"stop", kNameUtf8}).exitCode, 0);
}

TEST_F(ScmTest, StartFailsWhenTheProgramIsMissingOrEndsEarly) {
    install(L"C:\\Program Files\\Nowhere\\missing.exe");
    auto missing = sc({"start", kNameUtf8});
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.output.find("FAILED 2"), std::string::npos) << missing.output;
    EXPECT_EQ(query()->currentState, 1u);
}

TEST_F(ScmTest, StartFailsWhenTheProgramDoesNotRunTheService) {
    // /bin/true never connects: it ends before reporting anything.
    install(standin::toWindowsPath("/bin/true"));
    auto ended = sc({"start", kNameUtf8});
    EXPECT_NE(ended.exitCode, 0);
    EXPECT_NE(ended.output.find("FAILED 1067"), std::string::npos) << ended.output;
    EXPECT_EQ(query()->currentState, 1u);
}

} // namespace
