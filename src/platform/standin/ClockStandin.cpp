// The stand-in clock: sleeps and time run TARN_SLEEP_SCALE times as long in real time.
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
        const auto real = std::chrono::duration<double, std::milli>(
            std::chrono::steady_clock::now().time_since_epoch());
        return Duration(static_cast<Duration::rep>(real.count() / standin::sleepScale()));
    }
};

} // namespace

Clock& systemClock() {
    static StandinClock clock;
    return clock;
}

} // namespace tarn::platform
