#include "platform/Power.h"

#include <windows.h>

namespace tarn::platform {

static_assert(power::kContinuous == ES_CONTINUOUS);
static_assert(power::kSystemRequired == ES_SYSTEM_REQUIRED);

namespace {

class Win32Power final : public Power {
public:
    bool setThreadExecutionState(std::uint32_t flags) override {
        return SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags)) != 0;
    }
};

} // namespace

Power& systemPower() {
    static Win32Power power;
    return power;
}

} // namespace tarn::platform
