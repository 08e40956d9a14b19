#include "platform/EventLog.h"

#include <windows.h>

namespace tarn::platform {
namespace {

class Win32EventLog final : public EventLog {
public:
    SourceHandle registerEventSource(const wchar_t* sourceName) override {
        return RegisterEventSourceW(nullptr, sourceName);
    }

    bool reportEvent(SourceHandle source, std::uint16_t type, std::uint16_t category,
                     std::uint32_t eventId, const wchar_t* message) override {
        LPCWSTR strings[1] = {message};
        return ReportEventW(static_cast<HANDLE>(source), type, category, eventId, nullptr, 1, 0,
                            strings, nullptr) != FALSE;
    }
};

} // namespace

EventLog& systemEventLog() {
    static Win32EventLog log;
    return log;
}

} // namespace tarn::platform
