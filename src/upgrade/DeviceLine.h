// The grammar of one dfu-util device line: keys, words, trimming and numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarn::upgrade {

// The text after the first occurrence of `key`, up to the first comma after it or the end of
// the line; empty when the key is missing. Nothing is trimmed.
std::wstring getKeyValue(std::wstring_view line, std::wstring_view key);

// The serial of a device line: the value of "serial=", without its quotes, trimmed.
std::wstring serialOf(std::wstring_view line);

// White space for trimming: the Unicode White_Space characters (the ASCII ones, U+0085, U+00A0,
// U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000). Spelled out here because
// iswspace answers differently by C library and locale.
bool isWideSpace(wchar_t c);
std::wstring trim(std::wstring_view text);

// Decimal conversion: leading white space, an optional sign, digits up to the first other
// character; 0 without digits; clamped to the signed 32-bit range.
std::int32_t toInt32(std::wstring_view text);

// True when `word` occurs in `line` and its first occurrence does not start the line.
bool hasWordAfterStart(std::wstring_view line, std::wstring_view word);

// Compares as UTF-16 code units, unsigned, whatever the width of wchar_t: negative, 0 or
// positive. A prefix sorts first.
int compareCodeUnits(std::wstring_view a, std::wstring_view b);

} // namespace tarn::upgrade
