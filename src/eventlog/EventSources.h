// The process's two event sources, registered during static initialisation.
#pragma once

#include "eventlog/EventLogReporter.h"

namespace tarn::eventlog {

inline constexpr wchar_t kServiceSourceName[] = L"VantorTarnWindowsUpdateService";
inline constexpr std::uint32_t kServiceFirstEventId = 1;
inline constexpr wchar_t kEngineSourceName[] = L"TarnUpgradeProcess";
inline constexpr std::uint32_t kEngineFirstEventId = 21;

// Only the executables link these; the portable code is handed its reporter.
EventLogReporter& serviceEventSource();
EventLogReporter& engineEventSource();

} // namespace tarn::eventlog
