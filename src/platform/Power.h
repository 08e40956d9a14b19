// The seam to the system's power management: a pass that flashes a Tarn keeps the PC awake.
#pragma once

#include <cstdint>

namespace tarn::platform {

// The EXECUTION_STATE flags (winbase.h) the engine uses; the Win32 build checks them.
namespace power {
inline constexpr std::uint32_t kContinuous = 0x80000000;     // ES_CONTINUOUS
inline constexpr std::uint32_t kSystemRequired = 0x00000001; // ES_SYSTEM_REQUIRED
} // namespace power

class Power {
public:
    virtual ~Power() = default;
    // SetThreadExecutionState for the calling thread; false when it failed.
    virtual bool setThreadExecutionState(std::uint32_t flags) = 0;
};

// Windows' own; the stand-in's keeps nothing awake, and says it did.
Power& systemPower();

} // namespace tarn::platform
