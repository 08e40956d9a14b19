#include "platform/standin/OutputBounds.h"

#include <charconv>
#include <cstring>

namespace tarn::platform::standin {

std::optional<std::chrono::milliseconds> parseOutputBound(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    const char* end = text + std::strlen(text);
    // from_chars takes no sign and no blanks, so "+5" and " 5" are refused as well.
    std::chrono::milliseconds::rep value = 0;
    const auto [stop, error] = std::from_chars(text, end, value);
    // Beyond a year no test waits; the limit keeps the engine's deadline arithmetic in range.
    constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365);
    if (error != std::errc() || stop != end || stop == text || value <= 0 ||
        value > kLongest.count()) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(value);
}

} // namespace tarn::platform::standin
