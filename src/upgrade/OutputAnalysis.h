// The analysis of dfu-util's output: the lines, the grammar of a device line and the
// comparison of versions. The engine's analyseBuffer, initDev and checkVersion build on these;
// none of them copies more of the output than the line at hand.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarn::upgrade {

// Lines of a dfu-util output, taken as views: taking a line never copies the rest of the text,
// so an analysis stays linear in the size of the output.
class OutputLines {
public:
    explicit OutputLines(std::wstring_view text) : text_(text) {}

    // False once the text is used up: the position is finished or lies at the end.
    bool hasMore() const { return !finished_ && pos_ < text_.size(); }

    // Skips line feeds; at the end of the text gives an empty line and finishes; otherwise
    // gives the text up to the next line feed (which only line feeds end: a carriage return
    // stays in the line) and moves past that line feed.
    std::wstring_view take() {
        while (pos_ < text_.size() && text_[pos_] == L'\n') {
            ++pos_;
        }
        if (pos_ >= text_.size()) {
            finished_ = true;
            return {};
        }
        const std::size_t end = text_.find(L'\n', pos_);
        const std::size_t stop = end == std::wstring_view::npos ? text_.size() : end;
        const std::wstring_view line = text_.substr(pos_, stop - pos_);
        pos_ = stop + 1;
        return line;
    }

    // The line take() would give next, without taking it.
    std::wstring_view peek() const { return OutputLines(*this).take(); }

private:
    std::wstring_view text_;
    std::size_t pos_ = 0;
    bool finished_ = false;
};

// The grammar of one dfu-util device line: keys, words, trimming and numbers.
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
