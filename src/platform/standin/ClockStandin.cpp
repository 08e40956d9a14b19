// The stand-in clock: sleeps take TARN_SLEEP_SCALE times as long in real time; time is real.
#include "platform/Clock.h"
#include "platform/standin/SleepScale.h"

#include <thread>

namespace tarn::platform {
namespace {

class StandinClock final : public Clock {
public:
    void sleep(Duration duration) override {
        std::this_thread::sleep_for(standin::toRealTime(duration));
    }

    Duration now() override {
        return std::chrono::duration_cast<Duration>(
            std::chrono::steady_clock::now().time_since_epoch());
    }

    std::chrono::sys_seconds utcNow() override {
        return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    }
};

} // namespace

Clock& systemClock() {
    static StandinClock clock;
    return clock;
}

} // namespace tarn::platform
