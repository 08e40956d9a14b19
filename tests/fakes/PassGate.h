// Holds the worker's pass inside the tool's start, as a download that is still running would,
// until released.
#pragma once

#include "fakes/FakePlatform.h"

#include <condition_variable>
#include <mutex>

namespace tarn::fakes {

class PassGate {
public:
    explicit PassGate(FakeProcesses& processes) : processes_(processes) {
        processes_.onStart = [this] {
            std::unique_lock lock(mutex_);
            held_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
        };
    }
    // Join the worker before the gate goes: the hook belongs to it.
    ~PassGate() {
        release();
        processes_.onStart = nullptr;
    }
    PassGate(const PassGate&) = delete;
    PassGate& operator=(const PassGate&) = delete;

    void waitUntilHeld() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return held_; });
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }

private:
    FakeProcesses& processes_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool released_ = false;
};

} // namespace tarn::fakes
