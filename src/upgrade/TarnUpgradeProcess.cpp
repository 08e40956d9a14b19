#include "upgrade/TarnUpgradeProcess.h"

namespace tarn::upgrade {

TarnUpgradeProcess::TarnUpgradeProcess(EngineContext& context, bool force)
    : forceUpgrade(force), context_(context), lastStillWaiting_(context.clock.now()) {}

// A pass that ends without a download lets its package go with it, and the system sleep.
TarnUpgradeProcess::~TarnUpgradeProcess() {
    releasePackage();
    if (keptAwake_) {
        context_.power.setThreadExecutionState(platform::power::kContinuous);
    }
}

void TarnUpgradeProcess::keepSystemAwake() {
    if (!keptAwake_) {
        keptAwake_ = true;
        context_.power.setThreadExecutionState(platform::power::kContinuous |
                                               platform::power::kSystemRequired);
    }
}

void TarnUpgradeProcess::noteStillWaiting() {
    const auto now = context_.clock.now();
    if (context_.stillWaiting && now - lastStillWaiting_ >= kStillWaitingInterval) {
        lastStillWaiting_ = now;
        context_.stillWaiting();
    }
}

} // namespace tarn::upgrade
