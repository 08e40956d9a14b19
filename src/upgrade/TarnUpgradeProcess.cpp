#include "upgrade/TarnUpgradeProcess.h"

namespace tarn::upgrade {

TarnUpgradeProcess::TarnUpgradeProcess(EngineContext& context, bool force)
    : forceUpgrade(force), context_(context) {}

} // namespace tarn::upgrade
