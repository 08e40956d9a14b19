#include "platform/Clock.h"

#include <algorithm>
#include <cstdint>
#include <windows.h>

namespace tarn::platform {
namespace {

class Win32Clock final : public Clock {
public:
    Win32Clock() { QueryPerformanceFrequency(&frequency_); }

    void sleep(Duration duration) override {
        auto remaining = std::max<Duration::rep>(duration.count(), 0);
        // INFINITE is a DWORD too, so no single Sleep may ask for it.
        constexpr Duration::rep kLongestSleep = INFINITE - 1;
        do {
            const auto part = std::min(remaining, kLongestSleep);
            Sleep(static_cast<DWORD>(part));
            remaining -= part;
        } while (remaining > 0);
    }

    Duration now() override {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        // Split so that counter * 1000 cannot overflow after a long uptime.
        const long long ticks = counter.QuadPart;
        const long long perSecond = frequency_.QuadPart;
        if (perSecond <= 0) {
            return Duration(static_cast<Duration::rep>(GetTickCount64()));
        }
        return Duration((ticks / perSecond) * 1000 + (ticks % perSecond) * 1000 / perSecond);
    }

    std::chrono::sys_seconds utcNow() override {
        FILETIME time;
        GetSystemTimeAsFileTime(&time);
        // 100-ns intervals since 1601; 11644473600 s from then to 1970.
        const auto intervals = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
        constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
        return std::chrono::sys_seconds(std::chrono::seconds(
            static_cast<std::int64_t>(intervals / 10000000) - kSecondsFrom1601To1970));
    }

private:
    LARGE_INTEGER frequency_{};
};

} // namespace

Clock& systemClock() {
    static Win32Clock clock;
    return clock;
}

} // namespace tarn::platform
