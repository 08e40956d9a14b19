#include "eventlog/EventLogReporter.h"

#include <array>

namespace tarn::eventlog {

EventLogReporter::EventLogReporter(platform::EventLog& log, std::wstring sourceName,
                                   std::uint32_t firstEventId)
    : log_(log), sourceName_(std::move(sourceName)),
      handle_(log.registerEventSource(sourceName_.c_str())), nextEventId_(firstEventId) {}

void EventLogReporter::report(EventType type, std::wstring_view format,
                              std::span<const FormatArg> args) {
    // On the caller's stack: reports never touch the heap, and never share a buffer.
    std::array<wchar_t, kMessageBufferSize> message;
    formatInto(message, format, args);
    // The ID is taken before the call so that a lost entry still consumes it.
    const std::uint32_t eventId = nextEventId_.fetch_add(1);
    log_.reportEvent(handle_, static_cast<std::uint16_t>(type), 0, eventId, message.data());
}

} // namespace tarn::eventlog
