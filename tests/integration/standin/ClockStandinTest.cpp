// The stand-in clock: real sleeps are the asked sleeps times the factor; now() is real time.
#include "platform/Clock.h"

#include "StandinTestSupport.h"
#include "platform/standin/SleepScale.h"

#include <cmath>

namespace tarn::platform::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using SteadyClock = std::chrono::steady_clock;

TEST(ClockScale, SleepIsScaledAndNowKeepsRealTime) {
    const double scale = expectedScale();
    EXPECT_EQ(standin::sleepScale(), scale);
    EXPECT_EQ(standin::toRealTime(milliseconds(400)), nanoseconds(std::llround(400 * scale * 1e6)));
    // Nothing and less than nothing are no wait at all.
    EXPECT_EQ(standin::toRealTime(milliseconds(0)), nanoseconds(0));
    EXPECT_EQ(standin::toRealTime(milliseconds(-5000)), nanoseconds(0));

    // Each reading of the clock is bracketed by readings of real time: whatever the load,
    // a clock on real time lies between them, and a scaled one drifts out by the factor.
    auto& clock = systemClock();
    const auto outerStart = SteadyClock::now();
    const auto clockStart = clock.now();
    const auto innerStart = SteadyClock::now();
    clock.sleep(milliseconds(400));
    const auto innerEnd = SteadyClock::now();
    const auto clockEnd = clock.now();
    const auto outerEnd = SteadyClock::now();

    EXPECT_GE(innerEnd - innerStart, standin::toRealTime(milliseconds(400)));
    const auto tick = milliseconds(1); // now() truncates to whole milliseconds
    EXPECT_GE(clockEnd - clockStart + tick, innerEnd - innerStart);
    EXPECT_LE(clockEnd - clockStart, outerEnd - outerStart + tick);
}

TEST(ClockScale, NonPositiveOrMalformedFactorsCountAsOne) {
    using standin::parseSleepScale;
    EXPECT_EQ(parseSleepScale(nullptr), 1.0);
    EXPECT_EQ(parseSleepScale(""), 1.0);
    EXPECT_EQ(parseSleepScale("0.5"), 0.5);
    EXPECT_EQ(parseSleepScale("2e1"), 20.0);
    for (const char* bad : {"0", "-1", "abc", "1.5x", "nan", "inf", " "}) {
        EXPECT_EQ(parseSleepScale(bad), 1.0) << bad;
    }
}

TEST(Clock, NowNeverGoesBack) {
    auto& clock = systemClock();
    auto last = clock.now();
    for (int i = 0; i < 1000; ++i) {
        const auto now = clock.now();
        ASSERT_GE(now, last);
        last = now;
    }
}

} // namespace
} // namespace tarn::platform::testing
