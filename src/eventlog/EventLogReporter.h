// Reports the service's messages to the event log: one object per event source.
#pragma once

#include "eventlog/WideFormat.h"
#include "platform/EventLog.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace tarn::eventlog {

enum class EventType : std::uint16_t {
    Success = 0,     // EVENTLOG_SUCCESS
    Error = 1,       // EVENTLOG_ERROR_TYPE
    Warning = 2,     // EVENTLOG_WARNING_TYPE
    Information = 4, // EVENTLOG_INFORMATION_TYPE
};

class EventLogReporter {
public:
    // Every message is formatted into a buffer of this many characters, terminator included.
    static constexpr std::size_t kMessageBufferSize = 256;

    // Registers the source at once; a failed registration leaves a null handle, and reports
    // through it are lost without anybody noticing.
    EventLogReporter(platform::EventLog& log, std::wstring sourceName, std::uint32_t firstEventId);

    EventLogReporter(const EventLogReporter&) = delete;
    EventLogReporter& operator=(const EventLogReporter&) = delete;

    template <class... Args>
    void reportEvent(EventType type, std::wstring_view format, const Args&... args) {
        const FormatArg packed[] = {FormatArg(args)..., FormatArg()};
        report(type, format, std::span<const FormatArg>(packed, sizeof...(Args)));
    }

    void report(EventType type, std::wstring_view format, std::span<const FormatArg> args);

    const std::wstring& sourceName() const { return sourceName_; }
    // The ID the next report will carry.
    std::uint32_t nextEventId() const { return nextEventId_.load(); }

private:
    platform::EventLog& log_;
    std::wstring sourceName_;
    platform::EventLog::SourceHandle handle_;
    // Reports come from several threads; fetch_add keeps every ID distinct.
    std::atomic<std::uint32_t> nextEventId_;
};

} // namespace tarn::eventlog
