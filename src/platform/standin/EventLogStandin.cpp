// The stand-in event log: one JSON object a line in $TARN_SYSROOT/eventlog.jsonl.
#include "platform/EventLog.h"
#include "platform/standin/SysRoot.h"
#include "portable/Utf8.h"

#include <deque>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace tarn::platform {
namespace {

std::string jsonString(std::string_view utf8) {
    std::string out = "\"";
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                static constexpr char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
    return out;
}

class StandinEventLog final : public EventLog {
public:
    SourceHandle registerEventSource(const wchar_t* sourceName) override {
        std::lock_guard lock(mutex_);
        // A deque keeps earlier names where they are; handles point at them.
        sources_.push_back(portable::toUtf8(sourceName));
        return &sources_.back();
    }

    bool reportEvent(SourceHandle source, std::uint16_t type, std::uint16_t category,
                     std::uint32_t eventId, const wchar_t* message) override {
        if (source == nullptr) {
            return false;
        }
        auto root = standin::sysRoot();
        if (!root) {
            return false;
        }
        const auto& name = *static_cast<const std::string*>(source);
        std::string line = "{\"source\":" + jsonString(name) + ",\"type\":" + std::to_string(type) +
                           ",\"category\":" + std::to_string(category) +
                           ",\"id\":" + std::to_string(eventId) +
                           ",\"text\":" + jsonString(portable::toUtf8(message)) + "}\n";
        const std::string path = (*root / "eventlog.jsonl").string();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            return false;
        }
        // One write per entry: lines of concurrent writers never interleave.
        const ssize_t written = ::write(fd, line.data(), line.size());
        ::close(fd);
        return written == static_cast<ssize_t>(line.size());
    }

private:
    std::mutex mutex_;
    std::deque<std::string> sources_;
};

} // namespace

EventLog& systemEventLog() {
    static StandinEventLog log;
    return log;
}

} // namespace tarn::platform
