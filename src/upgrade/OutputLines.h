// Lines of a dfu-util output, taken as views: taking a line never copies the rest of the text,
// so an analysis stays linear in the size of the output.
#pragma once

#include <string_view>

namespace tarn::upgrade {

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

} // namespace tarn::upgrade
