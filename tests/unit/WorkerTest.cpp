// The worker: one pass per arrival, reported by its outcome; the control handler never waits.
#include "fakes/HostFixture.h"
#include "fakes/PassGate.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <tuple>
#include <utility>

namespace tarn::service {
namespace {

using Strings = std::vector<std::wstring>;
using fakes::kDir;

const std::string kBanner = "dfu-util 0.11\n\n";
const std::string kRuntime0102 = "Found Runtime: [7c3e:5710] ver=0102, cfg=1, serial=\"SN0001\"\n";
const std::string kDfu0102 = "Found DFU: [7c3e:5711] ver=0102, cfg=1, serial=\"SN0001\"\n";

class Worker : public fakes::HostFixture {
protected:
    UpgradeService service{host};

    void SetUp() override {
        HostFixture::SetUp();
        files.add(kDir + L"fw.dfu", fakes::packageWithRelease(0x0103), 1);
    }
    std::size_t startsBeforePass_ = 0;
    // Queues one arrival and runs the worker's turn for it; returns the worker's messages.
    Strings pass() {
        service.pushArrival(UpdateParameter{service.deviceName, false, kInterfaceClass, &service});
        eventLog.clear();
        startsBeforePass_ = processes.commandLines.size();
        handleNextArrival(service);
        return serviceTexts();
    }
    // Whether the last pass kept the PC awake; if so, from after its listing's start (before
    // its tool's) until after its last start.
    bool keptAwake() {
        const auto calls = std::exchange(power.calls, {});
        if (calls.empty()) {
            return false;
        }
        EXPECT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls.front().flags, 0x80000001u); // ES_CONTINUOUS | ES_SYSTEM_REQUIRED
        EXPECT_EQ(calls.front().startsBefore, startsBeforePass_ + 1);
        EXPECT_EQ(calls.back().flags, 0x80000000u); // ES_CONTINUOUS
        EXPECT_EQ(calls.back().startsBefore, processes.commandLines.size());
        return true;
    }
};

TEST_F(Worker, MessagesByOutcome) {
    const std::wstring queued = L"TarnUpgradeProcess processing event.... queue size 0";
    const std::wstring done = L"TarnUpgradeProcess.initDfuDevList processing event.... done";
    const Strings complete = {queued, L"arrival device handled completely.",
                              L"Keep service running.", done};

    // 3: detached, only "done".
    processes.runs = {{{kBanner + kRuntime0102}}, {{kBanner + "Detaching...\n"}}};
    EXPECT_EQ(pass(), (Strings{queued, done}));
    EXPECT_TRUE(keptAwake()); // a detach or a download, and only those
    // 4: written.
    processes.runs = {{{kBanner + kDfu0102}}, {{kBanner + "Download done.\nDone!\n"}}};
    EXPECT_EQ(pass(), complete);
    EXPECT_TRUE(keptAwake());
    // 5: the download failed.
    processes.runs = {{{kBanner + kDfu0102}}, {{kBanner + "DFU state(10) = dfuERROR\n"}}};
    EXPECT_EQ(pass(), (Strings{queued, L"TarnUpgradeProcess.doUpgrade failed!"}));
    EXPECT_TRUE(keptAwake());
    // 6: nothing to do.
    processes.runs = {{{kBanner + "Found Runtime: [7c3e:5710] ver=0200, cfg=1\n"}}};
    EXPECT_EQ(pass(), complete);
    EXPECT_FALSE(keptAwake());
    // 7 from doUpgrade: no device.
    processes.runs = {{{kBanner}}, {{kBanner}}};
    EXPECT_EQ(pass(), complete);
    EXPECT_FALSE(keptAwake());
    // 7 from the listing: the tool is missing.
    processes.failStart = true;
    EXPECT_EQ(pass(), (Strings{queued, L"TarnUpgradeProcess.initDfuDevList failed!"}));
    processes.failStart = false;
    // 1: no package; the tool never runs.
    files.files.clear();
    const std::size_t runs = processes.commandLines.size();
    EXPECT_EQ(pass(), (Strings{queued, L"TarnUpgradeProcess.initDfuDevList failed!"}));
    EXPECT_EQ(processes.commandLines.size(), runs);
    EXPECT_FALSE(keptAwake());
    for (const auto& e : eventLog.events) {
        if (e.source == L"VantorTarnWindowsUpdateService") {
            EXPECT_EQ(e.type, 2);
        }
    }
}

TEST_F(Worker, QueueSizesCountWhatIsStillWaiting) {
    processes.runs = {{{kBanner}}, {{kBanner}}, {{kBanner}}, {{kBanner}}};
    service.pushArrival(UpdateParameter{service.deviceName, false, kInterfaceClass, &service});
    service.pushArrival(UpdateParameter{service.deviceName, false, kInterfaceClass, &service});
    handleNextArrival(service);
    handleNextArrival(service);
    Strings sizes;
    for (const auto& t : serviceTexts()) {
        if (t.find(L"queue size") != std::wstring::npos) {
            sizes.push_back(t);
        }
    }
    EXPECT_EQ(sizes, (Strings{L"TarnUpgradeProcess processing event.... queue size 1",
                              L"TarnUpgradeProcess processing event.... queue size 0"}));
}

TEST_F(Worker, EveryPassStartsFromAFreshEngine) {
    // The first pass lists a runtime device and detaches it. The second lists nothing: a
    // fresh engine knows no device, lists once more and stops; one that remembered the first
    // device would detach it again.
    processes.runs = {{{kBanner + kRuntime0102}}, {{kBanner}}, {{kBanner}}, {{kBanner}}};
    pass();
    const std::size_t firstPassRuns = processes.commandLines.size();
    ASSERT_EQ(firstPassRuns, 2u);
    EXPECT_EQ(pass(), (Strings{L"TarnUpgradeProcess processing event.... queue size 0",
                               L"arrival device handled completely.", L"Keep service running.",
                               L"TarnUpgradeProcess.initDfuDevList processing event.... done"}));
    const Strings second(processes.commandLines.begin() + firstPassRuns,
                         processes.commandLines.end());
    EXPECT_EQ(second, (Strings{processes.commandLines[0], processes.commandLines[0]}));
}

// A look sends every present interface of the class through the arrival filter; the Tarns among
// them are queued for passes of their own, and the look itself runs no tool.
TEST_F(Worker, ALookQueuesTheAttachedTarnsThroughTheArrivalFilter) {
    const std::wstring mouse =
        L"\\\\?\\USB#VID_046D&PID_C52B#MOUSE01#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}";
    const std::wstring guid = L"Guid = {5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}";
    const std::wstring look = L"look for attached devices.";
    const auto lookOnce = [&] {
        if (!service.requestAttachedLook()) {
            return Strings{L"(merged into a look that never comes)"};
        }
        eventLog.clear();
        handleNextArrival(service);
        return serviceTexts();
    };

    runtime.present = Strings{mouse, fakes::kRuntimeName, fakes::kDfuName};
    EXPECT_EQ(lookOnce(), (Strings{look, guid, L"arrival device is not Vantor Tarn.", guid,
                                   L"arrival device is Vantor Tarn.", guid,
                                   L"arrival device is Vantor Tarn."}));
    EXPECT_EQ(runtime.presentClasses, std::vector<platform::Guid>{kInterfaceClass});
    ASSERT_EQ(service.queueSize(), 2u);
    EXPECT_NE(service.popArrival(), nullptr);
    EXPECT_NE(service.popArrival(), nullptr);
    EXPECT_TRUE(processes.commandLines.empty());

    runtime.present = Strings{mouse};
    EXPECT_EQ(lookOnce().back(), L"no attached Tarn found.");
    EXPECT_EQ(typeOf(L"no attached Tarn found."), 4);
    // A list that cannot be made is no "none found".
    runtime.present.reset();
    runtime.error = 5;
    EXPECT_EQ(lookOnce(),
              (Strings{look, L"look for attached devices failed, GetLastErrorCode: 5"}));
    EXPECT_EQ(service.queueSize(), 0u);
}

// The look at start queues only the Tarns in DFU mode. Its names come from SetupDi, in lower case
// on Windows and without an arrival record's bound: each is bounded and cut as an arrival's.
TEST_F(Worker, TheLookAtStartQueuesOnlyTarnsInDfuMode) {
    const std::wstring dfu =
        L"\\\\?\\usb#vid_7c3e&pid_5711#sn0002#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}";
    const std::wstring tooLong = std::wstring(255, L'x') + L"PID_5711" + std::wstring(37, L'y');
    const std::wstring guid = L"Guid = {5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}";
    const std::wstring notTarn = L"arrival device is not Vantor Tarn.";
    runtime.present = Strings{L"\\\\?\\usb#vid_7c3e&pid_5710#sn0001", dfu,
                              std::wstring(L"USB#VID_7C3E\0&PID_5711#x", 24), tooLong};
    service.workerThreadId = 0x5EE5;
    lookForAttachedTarns(service, true);
    EXPECT_EQ(serviceTexts(),
              (Strings{L"look for attached Tarns in DFU mode.", guid,
                       L"attached Tarn in runtime mode waits for its arrival.", guid,
                       L"arrival device is Vantor Tarn.", guid, notTarn, guid, notTarn}));
    ASSERT_EQ(service.queueSize(), 1u);
    EXPECT_EQ(std::wstring(service.deviceName), tooLong.substr(0, kDeviceNameSize - 1));
    EXPECT_EQ(service.workerThreadId, 0x5EE5u); // nothing written past the name buffer

    runtime.present = Strings{L"\\\\?\\usb#vid_7c3e&pid_5710#sn0001"};
    eventLog.clear();
    lookForAttachedTarns(service, true);
    EXPECT_EQ(serviceTexts().back(), L"no attached Tarn in DFU mode found.");
}

// Arrivals and requests handled while a download is in progress: the control handler only
// queues.
TEST_F(Worker, TheControlHandlerReturnsAtOnceDuringAPass) {
    serviceMain(0, nullptr);
    auto& running = *static_cast<UpgradeService*>(runtime.context);
    fakes::PassGate gate(processes);
    processes.runs = {{{kBanner}}};
    running.pushArrival(UpdateParameter{running.deviceName, false, kInterfaceClass, &running});
    std::thread worker([&] { handleNextArrival(running); });
    gate.waitUntilHeld();
    // The pass stays held until the handler calls have all returned: a handler that waited
    // for the pass would never return (the benchmarks measure how fast it is).
    auto record = fakes::deviceRecord(fakes::kDfuName, kInterfaceClass);
    auto calls = std::async(std::launch::async, [&] {
        int failed = 0;
        for (int i = 0; i < 200; ++i) {
            failed += runtime.handler(11, 0x8000, record.data(), runtime.context) != 0u;
            failed += runtime.handler(128, 0, nullptr, runtime.context) != 0u;
        }
        return failed;
    });
    const bool returned = calls.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
    gate.release();
    worker.join();
    ASSERT_TRUE(returned);
    EXPECT_EQ(calls.get(), 0);
    EXPECT_EQ(running.queueSize(), 201u); // the 200 requests merged into one look
}

// Pre-shutdown during a download: stop-pending, with a check point that rises while the pass
// waits, until the pass has ended; then stopped.
TEST_F(Worker, PreshutdownDuringAPassStopsWhenThePassHasEnded) {
    serviceMain(0, nullptr);
    auto& running = *static_cast<UpgradeService*>(runtime.context);
    processes.runs = {{{kBanner + kDfu0102}}, {{kBanner + "Download done.\nDone!\n"}}};
    std::size_t before = 0;
    {
        fakes::PassGate gate(processes);
        running.pushArrival(UpdateParameter{running.deviceName, false, kInterfaceClass, &running});
        std::thread worker([&] { handleNextArrival(running); });
        gate.waitUntilHeld();
        before = runtime.statuses.size();
        EXPECT_EQ(runtime.handler(15, 0, nullptr, runtime.context), 0u);
        EXPECT_EQ(serviceTexts().back(),
                  L"control code: SERVICE_CONTROL_PRSHUTDOWN - stop after the pass in progress");
        gate.release();
        worker.join();
    }
    const std::vector<platform::ServiceStatus> s(runtime.statuses.begin() + before,
                                                 runtime.statuses.end());
    ASSERT_GE(s.size(), 42u); // the 200-second pause alone calls back 40 times
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        EXPECT_EQ(s[i].currentState, 3u) << i;
        EXPECT_EQ(s[i].waitHint, 30000u) << i;
        EXPECT_GE(s[i].checkPoint, i == 0 ? 1u : s[i - 1].checkPoint) << i;
    }
    EXPECT_GT(s[s.size() - 2].checkPoint, 40u);
    EXPECT_EQ(std::tie(s.back().currentState, s.back().checkPoint, s.back().waitHint),
              std::make_tuple(1u, 0u, 0u));
}

} // namespace
} // namespace tarn::service
