// The stand-in clock: real sleeps are the asked sleeps times the factor; now() is real time.
#include "platform/Clock.h"

#include "StandinTestSupport.h"
#include "platform/standin/SleepScale.h"

namespace tarn::platform::testing {
namespace {

using std::chrono::milliseconds;

using SteadyClock = std::chrono::steady_clock;

TEST(ClockScale, SleepIsScaledAndNowKeepsRealTime) {
    const double scale = expectedScale();
    EXPECT_EQ(standin::toRealTime(milliseconds(400)),
              std::chrono::nanoseconds(static_cast<long long>(400 * scale * 1e6)));

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

TEST(Clock, NowIsMonotonicAndNegativeSleepsReturnAtOnce) {
    auto& clock = systemClock();
    const auto start = std::chrono::steady_clock::now();
    const auto before = clock.now();
    clock.sleep(milliseconds(-5000));
    EXPECT_GE(clock.now(), before);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(100));
}

} // namespace
} // namespace tarn::platform::testing
