// Service main, the control handler and the stop sequence.
#include "fakes/HostFixture.h"

#include <tuple>

namespace tarn::service {
namespace {

using Strings = std::vector<std::wstring>;

class Main : public fakes::HostFixture {
protected:
    UpgradeService* started() {
        serviceMain(0, nullptr);
        return static_cast<UpgradeService*>(runtime.context);
    }
    std::uint32_t control(std::uint32_t code, std::uint32_t eventType = 0, void* data = nullptr) {
        return runtime.handler(code, eventType, data, runtime.context);
    }
};

TEST_F(Main, TheStartSequence) {
    ASSERT_NE(started(), nullptr);
    EXPECT_EQ(serviceTexts(),
              (Strings{L"enter service main function.", L"enter initialize service function.",
                       L"register service control handler success.",
                       L"enter registerStart function.", L"initialize service success."}));
    EXPECT_EQ(runtime.calls,
              (Strings{L"RegisterServiceCtrlHandlerEx VantorTarnWindowsUpdateService",
                       L"SetServiceStatus 2", L"SetServiceStatus 4", L"RegisterDeviceNotification",
                       L"CreateThread"}));
    ASSERT_EQ(runtime.statuses.size(), 2u);
    for (const auto& s : runtime.statuses) {
        EXPECT_EQ(s.serviceType, 0x30u);
        EXPECT_EQ(s.win32ExitCode, 0u);
        EXPECT_EQ(s.serviceSpecificExitCode, 0u);
        EXPECT_EQ(s.checkPoint, 0u);
        EXPECT_EQ(s.waitHint, 0u);
    }
    EXPECT_EQ(runtime.statuses[0].controlsAccepted, 0u);
    EXPECT_EQ(runtime.statuses[1].controlsAccepted, 0x101u);
    EXPECT_EQ(runtime.notificationClasses, std::vector<platform::Guid>{kInterfaceClass});
    EXPECT_EQ(static_cast<UpgradeService*>(runtime.context)->workerThreadId, 4242u);
    EXPECT_EQ(typeOf(L"initialize service success."), 0);
}

TEST_F(Main, HandlerRegistrationFails) {
    runtime.failHandler = true;
    serviceMain(0, nullptr);
    EXPECT_EQ(
        serviceTexts(),
        (Strings{L"enter service main function.", L"enter initialize service function.",
                 L"register service control handler failed.", L"initialize service failed."}));
    EXPECT_TRUE(runtime.statuses.empty()); // no status is ever reported
}

// A service that cannot hear arrivals or run passes does not stay shown running, deaf: it stops
// with a code of its own, which the failure actions answer with a restart.
TEST_F(Main, AStartThatCannotRegisterOrStartItsWorkerStopsWithItsCode) {
    for (const std::uint32_t code : {1u, 2u}) {
        fakes::FakeServiceRuntime failing;
        failing.failNotification = code == 1;
        failing.failThread = code == 2;
        failing.error = 8;
        service::HostContext other{serviceLog, manager, failing, context};
        setHostContext(&other);
        eventLog.clear();
        serviceMain(0, nullptr);
        const Strings texts = serviceTexts();
        EXPECT_EQ(Strings(texts.end() - 2, texts.end()),
                  (Strings{code == 1 ? L"register device notification failed."
                                     : L"create worker thread failed, GetLastErrorCode: 8",
                           L"initialize service failed."}));
        // No arrivals for a worker that is not there.
        EXPECT_EQ(failing.unregistrations, code == 1 ? 0 : 1);
        ASSERT_EQ(failing.statuses.size(), 3u);
        const auto& last = failing.statuses[2];
        EXPECT_EQ(std::tie(last.currentState, last.win32ExitCode, last.serviceSpecificExitCode),
                  std::make_tuple(1u, 1066u, code)); // ERROR_SERVICE_SPECIFIC_ERROR
    }
    setHostContext(&host);
}

TEST_F(Main, TheStopSequence) {
    started();
    eventLog.clear();
    runtime.statuses.clear();
    EXPECT_EQ(control(1), 0u);
    EXPECT_EQ(serviceTexts(),
              (Strings{L"control code: SERVICE_CONTROL_STOP.", L"enter onStop function.",
                       L"unregister device notification.", L"service control stop success."}));
    ASSERT_EQ(runtime.statuses.size(), 2u);
    EXPECT_EQ(runtime.statuses[0].currentState, 3u);
    EXPECT_EQ(runtime.statuses[1].currentState, 1u);
    EXPECT_EQ(runtime.statuses[1].win32ExitCode, 0u);
    EXPECT_EQ(runtime.unregistrations, 1);
}

TEST_F(Main, TheControlTable) {
    started();
    const struct {
        std::uint32_t code;
        Strings messages;
    } table[] = {
        {2, {L"control code: SERVICE_CONTROL_PAUSE."}},
        {3, {L"control code: SERVICE_CONTROL_CONTINUE."}},
        {4, {L"control code: SERVICE_CONTROL_INTERROGATE."}},
        {5, {}},
        {6, {}},
        {0, {}},
        {255, {}},
    };
    for (const auto& row : table) {
        eventLog.clear();
        runtime.statuses.clear();
        EXPECT_EQ(control(row.code), 0u);
        EXPECT_EQ(serviceTexts(), row.messages) << row.code;
        EXPECT_TRUE(runtime.statuses.empty()) << row.code; // nothing re-reported
    }
}

// A flood of requests while one still waits costs one look; once the worker has taken it, the
// next request asks again. The handler itself looks at no device.
TEST_F(Main, UpgradeAttachedDevicesIsQueuedAndMerged) {
    auto* service = started();
    eventLog.clear();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(control(128), 0u);
    }
    EXPECT_EQ(serviceTexts(), Strings(3, L"control code: upgrade attached devices."));
    EXPECT_EQ(typeOf(L"control code: upgrade attached devices."), 4);
    EXPECT_EQ(service->queueSize(), 1u);
    EXPECT_EQ(service->popArrival(), nullptr); // a look, not an arrival
    control(128);
    EXPECT_EQ(service->queueSize(), 1u);
    EXPECT_EQ(std::count(runtime.calls.begin(), runtime.calls.end(), L"SetupDiGetClassDevs"), 0);
    EXPECT_EQ(runtime.statuses.size(), 2u); // nothing re-reported since the start
}

TEST_F(Main, DeviceEventsOtherThanArrivals) {
    auto* service = started();
    eventLog.clear();
    control(11, 0x8004);
    EXPECT_EQ(serviceTexts(), (Strings{L"control code: SERVICE_CONTROL_DEVICEEVENT.",
                                       L"dwEventType: 32772", L"device remove"}));
    eventLog.clear();
    control(11, 0x0007);
    EXPECT_EQ(serviceTexts().back(), L"device event others");
    eventLog.clear();
    control(11, 0xFFFFFFFF);
    EXPECT_EQ(serviceTexts()[1], L"dwEventType: -1");
    EXPECT_EQ(service->queueSize(), 0u);
}

} // namespace
} // namespace tarn::service
