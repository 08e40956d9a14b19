#include "upgrade/TarnUpgradeProcess.h"

namespace tarn::upgrade {

TarnUpgradeProcess::TarnUpgradeProcess(EngineContext& context, bool force)
    : forceUpgrade(force), context_(context) {}

// A pass that ends without a download lets its package go with it.
TarnUpgradeProcess::~TarnUpgradeProcess() {
    releasePackage();
}

} // namespace tarn::upgrade
