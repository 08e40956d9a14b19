// The stand-in clock: real waits are the asked waits times the factor, and now() keeps pace.
#include "platform/Clock.h"

#include "StandinTestSupport.h"
#include "platform/standin/SleepScale.h"

#include <cmath>

namespace tarn::platform::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using SteadyClock = std::chrono::steady_clock;

TEST(ClockScale, WaitsTakeTheFactorTimesTheirLengthInRealTime) {
    const double scale = expectedScale();
    EXPECT_EQ(standin::sleepScale(), scale);
    EXPECT_EQ(standin::toRealTime(milliseconds(400)), nanoseconds(std::llround(400 * scale * 1e6)));
    EXPECT_EQ(standin::toRealTime(milliseconds(0)), nanoseconds(0));
    EXPECT_EQ(standin::toRealTime(milliseconds(-5000)), nanoseconds(0));

    // A sleep never ends early, in real time or on the clock.
    auto& clock = systemClock();
    const auto clockStart = clock.now();
    const auto realStart = SteadyClock::now();
    clock.sleep(milliseconds(400));
    EXPECT_GE(SteadyClock::now() - realStart, standin::toRealTime(milliseconds(400)));
    EXPECT_GE(clock.now() - clockStart, milliseconds(399)); // now() rounds down
}

TEST(ClockScale, NowRunsAtRealTimeDividedByTheFactor) {
    // Each interval is read inside the other, so the comparison holds however the machine is
    // loaded: the clock's interval can be neither longer than the outer real one nor shorter
    // than the inner real one (up to now()'s rounding to whole milliseconds).
    auto& clock = systemClock();
    const double scale = expectedScale();
    const auto outerStart = SteadyClock::now();
    const auto clockStart = clock.now();
    const auto innerStart = SteadyClock::now();
    clock.sleep(milliseconds(200));
    const auto innerEnd = SteadyClock::now();
    const auto clockEnd = clock.now();
    const auto outerEnd = SteadyClock::now();
    const double clockMs = static_cast<double>((clockEnd - clockStart).count());
    const auto realMs = [](SteadyClock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    EXPECT_LE(clockMs, realMs(outerEnd - outerStart) / scale + 1);
    EXPECT_GE(clockMs, realMs(innerEnd - innerStart) / scale - 1);
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
