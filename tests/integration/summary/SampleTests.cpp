// Tests with known outcomes, for the check of the test command's count (check-summary.sh).
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

namespace {

TEST(Sample, Passes) {
    SUCCEED();
}

TEST(Sample, IsSkipped) {
    GTEST_SKIP() << "code page 932 is not installed";
}

TEST(Sample, Fails) {
    ADD_FAILURE() << "on purpose";
}

// As the Windows-build tests record a process start they tried again.
TEST(Sample, RetriesAStart) {
    ::testing::Test::RecordProperty("start_retry_1", "CreateProcessW error 8");
}

// Ends the program with success before GoogleTest can write its results.
TEST(Sample, ExitsPartWay) {
    std::exit(0);
}

// Only CTest's time-out ends it.
TEST(Sample, Hangs) {
    std::this_thread::sleep_for(std::chrono::hours(1));
}

} // namespace
