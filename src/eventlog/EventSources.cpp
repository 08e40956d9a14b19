#include "eventlog/EventSources.h"

namespace tarn::eventlog {
namespace {

// Both in this one translation unit, so that the engine source is registered first. Static
// initialisation is the point: the sources are registered before main runs.
// NOLINTNEXTLINE(cert-err58-cpp)
EventLogReporter gEngineSource(platform::systemEventLog(), kEngineSourceName, kEngineFirstEventId);
// NOLINTNEXTLINE(cert-err58-cpp)
EventLogReporter gServiceSource(platform::systemEventLog(), kServiceSourceName,
                                kServiceFirstEventId);

} // namespace

EventLogReporter& serviceEventSource() {
    return gServiceSource;
}
EventLogReporter& engineEventSource() {
    return gEngineSource;
}

} // namespace tarn::eventlog
