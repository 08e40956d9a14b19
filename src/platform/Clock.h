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
    // Monotonic real time since an arbitrary start.
    virtual Duration now() = 0;
    // The system time, UTC (GetSystemTimeAsFileTime): only for records that tell an
    // administrator when something happened, never for a wait.
    virtual std::chrono::sys_seconds utcNow() = 0;
};

// The real clock. The Windows build sleeps exactly what it is asked; the Linux stand-in
// multiplies every sleep by TARN_SLEEP_SCALE (default 1) to shorten the fixed waits, while
// now() stays real time: a child does not run faster, so bounds measured on it must not shrink.
Clock& systemClock();

} // namespace tarn::platform
