// Shared by the fuzz targets: a broken invariant must stop the fuzzer with a crash it records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tarn::fuzz {

inline void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Bytes one to one as code units: enough for every character the rules single out (blanks,
// quotes, backslashes, commas, line ends) and cheap for the fuzzer to reach.
inline std::wstring widen(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size());
    for (unsigned char b : bytes) {
        text += static_cast<wchar_t>(b);
    }
    return text;
}

// Pairs of bytes as 16-bit units, little-endian: surrogates and the wider white space too.
inline std::wstring widenPairs(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto lo = static_cast<unsigned char>(bytes[i]);
        const auto hi = static_cast<unsigned char>(bytes[i + 1]);
        text += static_cast<wchar_t>(lo | (hi << 8));
    }
    return text;
}

} // namespace tarn::fuzz
