// The queue of arrivals: the control handler pushes, the worker pops.
#include "service/UpgradeService.h"

namespace tarn::service {

void UpgradeService::pushArrival(const UpdateParameter& event) {
    std::lock_guard lock(mutex_);
    queue_.push_back(event);
    wakeUp_.notify_one();
}

std::shared_ptr<UpdateParameter> UpgradeService::popArrival() {
    std::unique_lock lock(mutex_);
    wakeUp_.wait(lock, [this] { return !queue_.empty(); });
    auto event = std::make_shared<UpdateParameter>(queue_.front());
    queue_.pop_front();
    return event;
}

std::size_t UpgradeService::queueSize() {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

} // namespace tarn::service
