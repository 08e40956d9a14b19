// A fake event log that records every report, and a recording standard output.
#pragma once

#include "eventlog/EventLogReporter.h"
#include "platform/EventLog.h"
#include "platform/StandardOutput.h"
#include "portable/Utf8.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarn::fakes {

struct LoggedEvent {
    std::wstring source;
    std::uint16_t type;
    std::uint16_t category;
    std::uint32_t id;
    std::wstring text;
};

class FakeEventLog final : public platform::EventLog {
public:
    bool refuseRegistration = false;

    SourceHandle registerEventSource(const wchar_t* name) override {
        std::lock_guard lock(mutex_);
        registered.emplace_back(name);
        if (refuseRegistration) {
            return nullptr;
        }
        names_.push_back(std::make_unique<std::wstring>(name));
        return names_.back().get();
    }

    bool reportEvent(SourceHandle source, std::uint16_t type, std::uint16_t category,
                     std::uint32_t eventId, const wchar_t* message) override {
        std::lock_guard lock(mutex_);
        ++calls;
        if (source == nullptr) {
            return false;
        }
        events.push_back({*static_cast<std::wstring*>(source), type, category, eventId, message});
        return true;
    }

    std::vector<std::wstring> texts() const {
        std::vector<std::wstring> out;
        for (const auto& e : events) {
            out.push_back(e.text);
        }
        return out;
    }
    bool contains(std::wstring_view text) const {
        return std::any_of(events.begin(), events.end(),
                           [&](const LoggedEvent& e) { return e.text == text; });
    }
    void clear() { events.clear(); }

    std::vector<std::wstring> registered;
    std::vector<LoggedEvent> events;
    int calls = 0;

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<std::wstring>> names_;
};

class RecordingOutput final : public platform::StandardOutput {
public:
    void write(std::string_view text) override { text_ += portable::fromUtf8(text); }
    void write(std::wstring_view text) override { text_ += text; }
    void flush() override { ++flushes; }

    const std::wstring& text() const { return text_; }
    int flushes = 0;

private:
    std::wstring text_;
};

} // namespace tarn::fakes
