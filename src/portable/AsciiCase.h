// Letter case as Windows folds it in names (device paths, file and registry names): its
// upper-case table maps the ASCII letters a to z to A to Z, which is all our own names hold.
#pragma once

#include <algorithm>
#include <string_view>

namespace tarn::portable {

constexpr wchar_t asciiUpper(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

constexpr bool sameIgnoringAsciiCase(wchar_t a, wchar_t b) {
    return asciiUpper(a) == asciiUpper(b);
}

// Whether `text` holds `part`, letter case aside.
constexpr bool containsIgnoringAsciiCase(std::wstring_view text, std::wstring_view part) {
    return std::search(text.begin(), text.end(), part.begin(), part.end(), sameIgnoringAsciiCase) !=
           text.end();
}

} // namespace tarn::portable
