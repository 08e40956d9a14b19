// The stand-in runs on machines that a test keeps busy: there is no idle sleep to hold off.
#include "platform/Power.h"

namespace tarn::platform {
namespace {

class StandinPower final : public Power {
public:
    bool setThreadExecutionState(std::uint32_t /*flags*/) override { return true; }
};

} // namespace

Power& systemPower() {
    static StandinPower power;
    return power;
}

} // namespace tarn::platform
