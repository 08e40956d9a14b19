// The service host wired to fakes.
#pragma once

#include "fakes/EngineFixture.h"
#include "fakes/FakeService.h"
#include "service/ServiceHost.h"

namespace tarn::fakes {

class HostFixture : public EngineFixture {
protected:
    eventlog::EventLogReporter serviceLog{eventLog, L"VantorTarnWindowsUpdateService", 1};
    FakeServiceManager manager;
    FakeServiceRuntime runtime;
    service::HostContext host{serviceLog, manager, runtime, context};

    void SetUp() override { service::setHostContext(&host); }
    void TearDown() override { service::setHostContext(nullptr); }

    // The texts reported under the service source.
    std::vector<std::wstring> serviceTexts() const {
        std::vector<std::wstring> out;
        for (const auto& e : eventLog.events) {
            if (e.source == L"VantorTarnWindowsUpdateService") {
                out.push_back(e.text);
            }
        }
        return out;
    }
    std::uint16_t typeOf(std::wstring_view text) const {
        for (const auto& e : eventLog.events) {
            if (e.text == text) {
                return e.type;
            }
        }
        return 0xFFFF;
    }
};

inline const platform::Guid kTarnClass = service::kInterfaceClass;
inline const std::wstring kRuntimeName =
    L"\\\\?\\USB#VID_7C3E&PID_5710#SN0001#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}";
inline const std::wstring kDfuName =
    L"\\\\?\\USB#VID_7C3E&PID_5711#SN0001#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}";

} // namespace tarn::fakes
