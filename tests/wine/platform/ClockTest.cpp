#include "platform/Clock.h"

#include <chrono>
#include <gtest/gtest.h>

namespace tarn::platform {
namespace {

using namespace std::chrono_literals;

TEST(Win32Clock, SleepWaitsAboutWhatItIsAskedOnTheClocksOwnScale) {
    Clock& clock = systemClock();
    const auto start = clock.now();
    clock.sleep(200ms);
    const auto slept = clock.now() - start;
    EXPECT_GE(slept, 190ms);
    EXPECT_LT(slept, 2000ms);
}

TEST(Win32Clock, NothingAndLessThanNothingDoNotWait) {
    Clock& clock = systemClock();
    const auto start = clock.now();
    clock.sleep(0ms);
    clock.sleep(-5ms);
    EXPECT_LT(clock.now() - start, 500ms);
    EXPECT_GE(clock.now(), start);
}

} // namespace
} // namespace tarn::platform
