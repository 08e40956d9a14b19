// The seam to the operating system's event log.
#pragma once

#include <cstdint>

namespace tarn::platform {

class EventLog {
public:
    // An event source as the system hands it out; null when the registration failed.
    // Sources are registered once per process and never deregistered, so nothing owns them.
    using SourceHandle = void*;

    virtual ~EventLog() = default;

    // RegisterEventSourceW on the local computer.
    virtual SourceHandle registerEventSource(const wchar_t* sourceName) = 0;

    // ReportEventW with one insertion string, no user SID and no raw data.
    // Returns whether the entry was written; the service never acts on it.
    virtual bool reportEvent(SourceHandle source, std::uint16_t type, std::uint16_t category,
                             std::uint32_t eventId, const wchar_t* message) = 0;
};

// The event log of the system this build runs on.
EventLog& systemEventLog();

} // namespace tarn::platform
