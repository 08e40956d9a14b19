#include "portable/Utf8.h"

namespace tarn::portable {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool isSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

} // namespace

std::string toUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            c &= 0xFFFF;
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                const char32_t low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        if (isSurrogate(c) || c > 0x10FFFF) {
            c = kReplacement;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::wstring fromUtf8(std::string_view bytes) {
    Utf8Decoder decoder;
    std::wstring out = decoder.decode(bytes);
    out += decoder.finish();
    return out;
}

void Utf8Decoder::emit(std::wstring& out, char32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<wchar_t>(c));
}

std::wstring Utf8Decoder::decode(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        if (needed_ > 0) {
            if (b >= lowerBound_ && b <= upperBound_) {
                partial_ = (partial_ << 6) | (b & 0x3F);
                ++seen_;
                lowerBound_ = 0x80;
                upperBound_ = 0xBF;
                if (seen_ == needed_) {
                    emit(out, partial_);
                    needed_ = 0;
                }
                continue;
            }
            // The sequence broke off: replace what was taken, then look at this byte afresh.
            emit(out, kReplacement);
            needed_ = 0;
        }
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            continue;
        }
        seen_ = 0;
        lowerBound_ = 0x80;
        upperBound_ = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            needed_ = 1;
            partial_ = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            needed_ = 2;
            partial_ = b & 0x0F;
            if (b == 0xE0) {
                lowerBound_ = 0xA0; // no overlong forms
            } else if (b == 0xED) {
                upperBound_ = 0x9F; // no surrogates
            }
        } else if (b >= 0xF0 && b <= 0xF4) {
            needed_ = 3;
            partial_ = b & 0x07;
            if (b == 0xF0) {
                lowerBound_ = 0x90;
            } else if (b == 0xF4) {
                upperBound_ = 0x8F; // nothing beyond U+10FFFF
            }
        } else {
            emit(out, kReplacement);
        }
    }
    return out;
}

std::wstring Utf8Decoder::finish() {
    std::wstring out;
    if (needed_ > 0) {
        emit(out, kReplacement);
        needed_ = 0;
    }
    return out;
}

} // namespace tarn::portable
