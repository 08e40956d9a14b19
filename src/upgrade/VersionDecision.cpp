// checkVersion: is the chosen package newer than what the device runs?
#include "upgrade/DeviceLine.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <array>

namespace tarn::upgrade {
namespace {

// The UTF-16 code units of a string, one at a time: a 32-bit wchar_t beyond U+FFFF becomes
// its surrogate pair, so both builds order text alike.
class CodeUnits {
public:
    explicit CodeUnits(std::wstring_view text) : text_(text) {}

    bool next(std::uint32_t& unit) {
        if (pendingLow_ != 0) {
            unit = pendingLow_;
            pendingLow_ = 0;
            return true;
        }
        if (pos_ >= text_.size()) {
            return false;
        }
        // A wchar_t, not a char: its bits are the code unit or code point.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c)
        auto c = static_cast<std::uint32_t>(text_[pos_++]);
        if constexpr (sizeof(wchar_t) == 2) {
            unit = c & 0xFFFF;
        } else if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            unit = 0xD800 + (c >> 10);
            pendingLow_ = 0xDC00 + (c & 0x3FF);
        } else {
            unit = c;
        }
        return true;
    }

private:
    std::wstring_view text_;
    std::size_t pos_ = 0;
    std::uint32_t pendingLow_ = 0;
};

} // namespace

int compareCodeUnits(std::wstring_view a, std::wstring_view b) {
    CodeUnits left(a);
    CodeUnits right(b);
    while (true) {
        std::uint32_t l = 0;
        std::uint32_t r = 0;
        const bool hasLeft = left.next(l);
        const bool hasRight = right.next(r);
        if (!hasLeft || !hasRight) {
            return hasLeft ? 1 : (hasRight ? -1 : 0);
        }
        if (l != r) {
            return l < r ? -1 : 1;
        }
    }
}

// Takes its own copy, as its callers are promised: nothing they hold is aliased.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool TarnUpgradeProcess::checkVersion(std::wstring version) {
    using eventlog::EventType;
    auto& log = context_.log;
    if (forceUpgrade) {
        log.reportEvent(EventType::Information, L"Force upgrade flag is set - don't check SW REV!");
        return true;
    }
    if (version.empty()) {
        log.reportEvent(EventType::Information, L"curDev.version is null");
        return false;
    }
    log.reportEvent(EventType::Information, L"curDev.version is %s targetVersion is %s", version,
                    targetVersion);
    if (compareCodeUnits(targetVersion, version) > 0) {
        return true;
    }
    log.reportEvent(EventType::Information, L"The device is running same or newer version");
    return false;
}

} // namespace tarn::upgrade
