// getKeyValue, trim and toInt32 on arbitrary lines, against the rules they promise.
#include "FuzzSupport.h"
#include "upgrade/OutputAnalysis.h"

#include <cstdint>
#include <limits>
#include <string>

using tarn::fuzz::require;
using namespace tarn::upgrade;

namespace {

bool isSubstring(std::wstring_view part, std::wstring_view whole) {
    return whole.find(part) != std::wstring_view::npos;
}

void checkKeyValue(std::wstring_view line, std::wstring_view key) {
    const std::wstring value = getKeyValue(line, key);
    require(value.find(L',') == std::wstring::npos, "a value holds no comma");
    require(isSubstring(value, line), "a value is part of the line");
    const std::size_t at = line.find(key);
    if (at == std::wstring_view::npos) {
        require(value.empty(), "a missing key gives an empty value");
        return;
    }
    // The value starts right after the first occurrence and stops at a comma or the end.
    const std::wstring_view rest = line.substr(at + key.size());
    require(rest.substr(0, value.size()) == value, "the value follows the key");
    require(value.size() == rest.size() || rest[value.size()] == L',',
            "the value ends at a comma or the end of the line");
}

void checkTrim(std::wstring_view text) {
    const std::wstring trimmed = trim(text);
    require(trimmed.empty() || (!isWideSpace(trimmed.front()) && !isWideSpace(trimmed.back())),
            "nothing blank is left at either end");
    const std::size_t at = text.find(trimmed);
    require(at != std::wstring_view::npos, "the trimmed text is part of the text");
    // Only white space was cut: everything around the kept text is blank.
    std::size_t begin = 0;
    while (begin < text.size() && isWideSpace(text[begin])) {
        ++begin;
    }
    if (begin == text.size()) {
        require(trimmed.empty(), "blank text trims to nothing");
        return;
    }
    std::size_t end = text.size();
    while (isWideSpace(text[end - 1])) {
        --end;
    }
    require(text.substr(begin, end - begin) == trimmed, "exactly the blank ends are cut");
    require(trim(trimmed) == trimmed, "trimming twice changes nothing");
}

// The same conversion, counted in digits rather than accumulated.
std::int32_t referenceInt32(std::wstring_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && isWideSpace(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == L'-' || text[pos] == L'+')) {
        negative = text[pos++] == L'-';
    }
    while (pos < text.size() && text[pos] == L'0') {
        ++pos;
    }
    std::wstring digits;
    while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9') {
        digits += text[pos++];
    }
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    if (digits.size() > 10) {
        return negative ? kMin : kMax;
    }
    std::int64_t magnitude = 0;
    for (wchar_t d : digits) {
        magnitude = magnitude * 10 + (d - L'0');
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > kMax) {
        return kMax;
    }
    if (value < kMin) {
        return kMin;
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // First byte: the key's length and how the rest becomes wide text.
    const bool pairs = (data[0] & 0x80) != 0;
    const std::size_t keyBytes = data[0] & 0x0F;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::wstring text = pairs ? tarn::fuzz::widenPairs(bytes) : tarn::fuzz::widen(bytes);
    const std::size_t keyLength = std::min(pairs ? keyBytes / 2 : keyBytes, text.size());
    const std::wstring_view key = std::wstring_view(text).substr(0, keyLength);
    const std::wstring_view line = std::wstring_view(text).substr(keyLength);

    checkKeyValue(line, key);
    for (const wchar_t* known : {L"ver=", L"cfg=", L"serial=", L"active="}) {
        checkKeyValue(line, known);
    }
    checkTrim(line);
    require(toInt32(line) == referenceInt32(line), "toInt32 converts as specified");
    const std::wstring value = getKeyValue(line, L"cfg=");
    require(toInt32(value) == referenceInt32(value), "toInt32 of a value converts as specified");
    return 0;
}
