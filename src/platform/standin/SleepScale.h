// The stand-in's time factor: every real wait is the asked wait times TARN_SLEEP_SCALE.
#pragma once

#include <chrono>

namespace tarn::platform::standin {

inline constexpr char kSleepScaleVariable[] = "TARN_SLEEP_SCALE";

// The factor, read from the environment on first use and kept for the process's life.
double sleepScale();

// Parses the variable's text; nothing set, not a number, infinite or not positive gives 1.
double parseSleepScale(const char* text);

// A wait on the clock's scale as real time; saturates instead of overflowing.
std::chrono::nanoseconds toRealTime(std::chrono::milliseconds clockTime);

} // namespace tarn::platform::standin
