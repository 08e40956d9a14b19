#include "eventlog/WideFormat.h"

#include <algorithm>
#include <array>

namespace tarn::eventlog {
namespace {

// Writes into a fixed buffer and silently drops what does not fit; `grow` lifts the limit.
class Sink {
public:
    Sink(wchar_t* data, std::size_t capacity, std::wstring* grow)
        : data_(data), capacity_(capacity), grow_(grow) {}

    void put(wchar_t c) {
        if (grow_ != nullptr) {
            grow_->push_back(c);
        } else if (size_ < capacity_) {
            data_[size_] = c;
        }
        ++size_;
    }
    // Copies only what fits, so a long argument costs no more than the buffer it lands in.
    void put(std::wstring_view text) {
        if (grow_ != nullptr) {
            grow_->append(text);
        } else if (size_ < capacity_) {
            const std::size_t count = std::min(capacity_ - size_, text.size());
            std::copy_n(text.data(), count, data_ + size_);
        }
        size_ += text.size();
    }
    void repeat(wchar_t c, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            put(c);
        }
    }
    std::size_t written() const { return size_ < capacity_ ? size_ : capacity_; }

private:
    wchar_t* data_;
    std::size_t capacity_;
    std::wstring* grow_;
    std::size_t size_ = 0;
};

struct Conversion {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    std::size_t width = 0;
    bool hasPrecision = false;
    std::size_t precision = 0;
    unsigned bits = 32;
    wchar_t conversion = 0;
};

bool isDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

std::size_t readNumber(std::wstring_view format, std::size_t& pos) {
    std::size_t value = 0;
    while (pos < format.size() && isDigit(format[pos])) {
        // Widths beyond the message buffer mean nothing; keep the number bounded.
        if (value < 100000) {
            value = value * 10 + static_cast<std::size_t>(format[pos] - L'0');
        }
        ++pos;
    }
    return value;
}

// Parses the conversion that starts after a '%' at `pos`; false when it is not one we know.
bool parseConversion(std::wstring_view format, std::size_t& pos, Conversion& conv) {
    for (; pos < format.size(); ++pos) {
        const wchar_t c = format[pos];
        if (c == L'-') {
            conv.left = true;
        } else if (c == L'0') {
            conv.zero = true;
        } else if (c == L'+') {
            conv.plus = true;
        } else if (c == L' ') {
            conv.space = true;
        } else {
            break;
        }
    }
    conv.width = readNumber(format, pos);
    if (pos < format.size() && format[pos] == L'.') {
        ++pos;
        conv.hasPrecision = true;
        conv.precision = readNumber(format, pos);
    }
    if (pos < format.size() && format[pos] == L'h') {
        ++pos;
        conv.bits = 16;
        if (pos < format.size() && format[pos] == L'h') {
            ++pos;
            conv.bits = 8;
        }
    } else if (pos < format.size() && format[pos] == L'l') {
        ++pos;
        conv.bits = 32;
        if (pos < format.size() && format[pos] == L'l') {
            ++pos;
            conv.bits = 64;
        }
    } else if (pos < format.size() && (format[pos] == L'j' || format[pos] == L'z')) {
        ++pos;
        conv.bits = 64;
    }
    if (pos >= format.size()) {
        return false;
    }
    conv.conversion = format[pos];
    switch (conv.conversion) {
    case L'd':
    case L'i':
    case L'u':
    case L'x':
    case L'X':
    case L'c':
    case L's':
    case L'%':
        ++pos;
        return true;
    default:
        return false;
    }
}

std::uint64_t truncateTo(std::uint64_t value, unsigned bits) {
    return bits >= 64 ? value : value & ((std::uint64_t{1} << bits) - 1);
}

void putPadded(Sink& sink, const Conversion& conv, std::wstring_view sign,
               std::wstring_view digits) {
    const std::size_t length = sign.size() + digits.size();
    const std::size_t pad = conv.width > length ? conv.width - length : 0;
    if (conv.left) {
        sink.put(sign);
        sink.put(digits);
        sink.repeat(L' ', pad);
    } else if (conv.zero && !conv.hasPrecision) {
        sink.put(sign);
        sink.repeat(L'0', pad);
        sink.put(digits);
    } else {
        sink.repeat(L' ', pad);
        sink.put(sign);
        sink.put(digits);
    }
}

void putInteger(Sink& sink, const Conversion& conv, const FormatArg& arg) {
    const std::uint64_t raw = truncateTo(arg.bits(), conv.bits);
    bool negative = false;
    std::uint64_t magnitude = raw;
    unsigned base = 10;
    const wchar_t* alphabet = L"0123456789abcdef";
    switch (conv.conversion) {
    case L'd':
    case L'i': {
        const std::uint64_t signBit = std::uint64_t{1} << (conv.bits - 1);
        if ((raw & signBit) != 0) {
            negative = true;
            // Two's complement magnitude within the conversion's width.
            magnitude = truncateTo(~raw + 1, conv.bits);
            if (magnitude == 0) {
                magnitude = signBit;
            }
        }
        break;
    }
    case L'X':
        alphabet = L"0123456789ABCDEF";
        base = 16;
        break;
    case L'x':
        base = 16;
        break;
    default:
        break;
    }

    std::array<wchar_t, 64> reversed{};
    std::size_t count = 0;
    while (magnitude != 0) {
        reversed[count++] = alphabet[magnitude % base];
        magnitude /= base;
    }
    const std::size_t minDigits = conv.hasPrecision ? conv.precision : 1;
    std::array<wchar_t, 160> digits{};
    std::size_t length = 0;
    for (std::size_t i = count; i < minDigits && length < digits.size() - count; ++i) {
        digits[length++] = L'0';
    }
    while (count > 0) {
        digits[length++] = reversed[--count];
    }

    std::wstring_view sign;
    if (negative) {
        sign = L"-";
    } else if ((conv.conversion == L'd' || conv.conversion == L'i') && conv.plus) {
        sign = L"+";
    } else if ((conv.conversion == L'd' || conv.conversion == L'i') && conv.space) {
        sign = L" ";
    }
    putPadded(sink, conv, sign, std::wstring_view(digits.data(), length));
}

void putText(Sink& sink, const Conversion& conv, std::wstring_view text) {
    if (conv.hasPrecision && conv.precision < text.size()) {
        text = text.substr(0, conv.precision);
    }
    Conversion plain = conv;
    plain.zero = false;
    plain.hasPrecision = false;
    putPadded(sink, plain, {}, text);
}

void formatTo(Sink& sink, std::wstring_view format, std::span<const FormatArg> args) {
    std::size_t next = 0;
    std::size_t pos = 0;
    while (pos < format.size()) {
        const wchar_t c = format[pos];
        if (c != L'%') {
            sink.put(c);
            ++pos;
            continue;
        }
        const std::size_t start = pos++;
        Conversion conv;
        if (!parseConversion(format, pos, conv)) {
            sink.put(format.substr(start, pos - start));
            continue;
        }
        if (conv.conversion == L'%') {
            sink.put(L'%');
            continue;
        }
        const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
        const bool wantsText = conv.conversion == L's';
        const bool fits =
            arg != nullptr && (wantsText ? arg->kind() == FormatArg::Kind::Text
                                         : arg->kind() == FormatArg::Kind::Signed ||
                                               arg->kind() == FormatArg::Kind::Unsigned);
        if (!fits) {
            sink.put(format.substr(start, pos - start));
            continue;
        }
        ++next;
        if (wantsText) {
            putText(sink, conv, arg->text());
        } else if (conv.conversion == L'c') {
            const auto ch = static_cast<wchar_t>(arg->bits());
            putText(sink, Conversion{conv.left, false, false, false, conv.width},
                    std::wstring_view(&ch, 1));
        } else {
            putInteger(sink, conv, *arg);
        }
    }
}

} // namespace

std::size_t formatInto(std::span<wchar_t> out, std::wstring_view format,
                       std::span<const FormatArg> args) {
    if (out.empty()) {
        return 0;
    }
    Sink sink(out.data(), out.size() - 1, nullptr);
    formatTo(sink, format, args);
    const std::size_t written = sink.written();
    out[written] = L'\0';
    return written;
}

std::wstring format(std::wstring_view format, std::span<const FormatArg> args) {
    std::wstring result;
    Sink sink(nullptr, 0, &result);
    formatTo(sink, format, args);
    return result;
}

} // namespace tarn::eventlog
