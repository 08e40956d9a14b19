// Reports a fixed set of messages on both event sources, so that a script can compare what
// reaches ReportEventW with what was asked for.
#include "eventlog/EventSources.h"

using tarn::eventlog::EventType;

int main() {
    auto& service = tarn::eventlog::serviceEventSource();
    auto& engine = tarn::eventlog::engineEventSource();
    service.reportEvent(EventType::Success, L"service success %d", 1);
    service.reportEvent(EventType::Error, L"service error %s", L"text");
    engine.reportEvent(EventType::Information, L"engine information %u", 7u);
    service.reportEvent(EventType::Warning, L"service warning");
    engine.reportEvent(EventType::Success, L"engine success");
    engine.reportEvent(EventType::Error, L"engine error %04hX", static_cast<unsigned short>(0xAB));
    service.reportEvent(EventType::Information, L"service information");
    engine.reportEvent(EventType::Warning, L"engine warning");
    return 0;
}
