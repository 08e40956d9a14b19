// Sinks that take what the service writes and drop it, so that a benchmark measures the
// service's own work.
#pragma once

#include "platform/EventLog.h"
#include "platform/StandardOutput.h"

namespace tarn::bench {

// Every report is formatted by the reporter, then dropped here.
class NullEventLog final : public platform::EventLog {
public:
    SourceHandle registerEventSource(const wchar_t*) override { return this; }
    bool reportEvent(SourceHandle, std::uint16_t, std::uint16_t, std::uint32_t,
                     const wchar_t* message) override {
        last = message;
        return true;
    }
    const wchar_t* volatile last = nullptr;
};

class NullOutput final : public platform::StandardOutput {
public:
    void write(std::string_view) override {}
    void write(std::wstring_view) override {}
    void flush() override {}
};

} // namespace tarn::bench
