#include "platform/standin/SleepScale.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace tarn::platform::standin {

double parseSleepScale(const char* text) {
    if (text == nullptr || *text == '\0') {
        return 1.0;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    // A bad value must not make every wait zero or endless: it counts as no scaling at all.
    if (*end != '\0' || !std::isfinite(value) || value <= 0.0) {
        return 1.0;
    }
    return value;
}

double sleepScale() {
    // Once: a factor that changed under a running wait would break its deadline.
    // The environment changes only before any thread starts, so this read races with no writer.
    static const double scale =
        parseSleepScale(std::getenv(kSleepScaleVariable)); // NOLINT(concurrency-mt-unsafe)
    return scale;
}

std::chrono::nanoseconds toRealTime(std::chrono::milliseconds clockTime) {
    if (clockTime <= std::chrono::milliseconds::zero()) {
        return std::chrono::nanoseconds::zero();
    }
    const double nanos = static_cast<double>(clockTime.count()) * sleepScale() * 1e6;
    // Far beyond any wait of the service; keeps the arithmetic of callers in range.
    constexpr auto limit = static_cast<double>(std::numeric_limits<std::int64_t>::max()) / 4;
    if (nanos >= limit) {
        return std::chrono::nanoseconds(static_cast<std::int64_t>(limit));
    }
    return std::chrono::nanoseconds(static_cast<std::int64_t>(nanos));
}

} // namespace tarn::platform::standin
