// Every wait of the service goes through a clock, so that tests never sleep the fixed waits.
#pragma once

#include <chrono>

namespace tarn::platform {

class Clock {
public:
    using Duration = std::chrono::milliseconds;

    virtual ~Clock() = default;
    // Sleep.
    virtual void sleep(Duration duration) = 0;
    // Monotonic time since an arbitrary start, on the same scale as sleep.
    virtual Duration now() = 0;
};

// The real clock. The Windows build sleeps exactly what it is asked; the Linux stand-in
// multiplies every sleep by TARN_SLEEP_SCALE (default 1) and runs now() faster by the same
// factor, so that time-outs keep their meaning.
Clock& systemClock();

} // namespace tarn::platform
