// The stand-in clock: real waits are the asked waits times the factor, and now() keeps pace.
#include "platform/Clock.h"

#include "StandinTestSupport.h"
#include "platform/standin/SleepScale.h"

namespace tarn::platform::testing {
namespace {

using std::chrono::milliseconds;

TEST(ClockScale, SleepTakesTheScaledTimeAndNowCountsItUnscaled) {
    auto& clock = systemClock();
    const auto realStart = std::chrono::steady_clock::now();
    const auto clockStart = clock.now();
    clock.sleep(milliseconds(400));
    const double realMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - realStart)
            .count();
    const auto clockMs = (clock.now() - clockStart).count();

    const double scale = expectedScale();
    EXPECT_GE(realMs, 400 * scale * 0.99);
    EXPECT_LT(realMs, 400 * scale + 300);
    EXPECT_GE(clockMs, 399);
    EXPECT_LT(clockMs, 400 + 300 / scale);
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
