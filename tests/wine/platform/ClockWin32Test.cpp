#include "platform/Clock.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace tarn::platform {
namespace {

using namespace std::chrono_literals;

TEST(Win32Clock, SleepWaitsWhatItIsAskedOnTheClocksOwnScale) {
    Clock& clock = systemClock();
    const auto start = clock.now();
    clock.sleep(200ms);
    // Never early, up to the tick count's steps (how much later is the machine's business).
    EXPECT_GE(clock.now() - start, 184ms);
}

TEST(Win32Clock, NothingAndLessThanNothingDoNotWait) {
    Clock& clock = systemClock();
    const auto start = clock.now();
    // A negative wait taken as an unsigned count would sleep for weeks: the sleeping thread is
    // left behind then, and the test fails instead of hanging.
    std::promise<void> done;
    auto slept = done.get_future();
    std::thread([&clock, done = std::move(done)]() mutable {
        clock.sleep(0ms);
        clock.sleep(-5ms);
        clock.sleep(-std::chrono::milliseconds::max());
        done.set_value();
    }).detach();
    ASSERT_EQ(slept.wait_for(60s), std::future_status::ready);
    EXPECT_GE(clock.now(), start);
}

} // namespace
} // namespace tarn::platform
