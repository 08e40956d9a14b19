// The queue of arrivals and looks for attached Tarns: the control handler pushes, the worker
// pops.
#include "service/UpgradeService.h"

#include <utility>

namespace tarn::service {

void UpgradeService::pushArrival(const UpdateParameter& event) {
    std::lock_guard lock(mutex_);
    queue_.emplace_back(event);
    wakeUp_.notify_one();
}

bool UpgradeService::requestAttachedLook() {
    std::lock_guard lock(mutex_);
    if (lookWaiting_) {
        return false;
    }
    lookWaiting_ = true;
    queue_.emplace_back(std::nullopt);
    wakeUp_.notify_one();
    return true;
}

std::shared_ptr<UpdateParameter> UpgradeService::popArrival() {
    std::unique_lock lock(mutex_);
    // After a stop nothing is started: the process is about to end, and a pass cut short would
    // leave a Tarn half done. The worker then waits until the process ends.
    wakeUp_.wait(lock, [this] { return !queue_.empty() && !stopping_; });
    passRunning_ = true;
    std::shared_ptr<UpdateParameter> event;
    if (queue_.front()) {
        event = std::make_shared<UpdateParameter>(*queue_.front());
    } else {
        // Taken: a request from now on asks about devices or firmware this look may miss.
        lookWaiting_ = false;
    }
    queue_.pop_front();
    return event;
}

bool UpgradeService::beginStop(bool waitForPass) {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    stopWaitsForPass_ = waitForPass && passRunning_;
    return stopWaitsForPass_;
}

bool UpgradeService::endPass() {
    std::lock_guard lock(mutex_);
    passRunning_ = false;
    return std::exchange(stopWaitsForPass_, false);
}

std::size_t UpgradeService::queueSize() {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

} // namespace tarn::service
