#include "eventlog/EventSources.h"

namespace tarn::eventlog {
namespace {

// Both in this one translation unit, so that the engine source is registered first.
EventLogReporter gEngineSource(platform::systemEventLog(), kEngineSourceName, kEngineFirstEventId);
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
