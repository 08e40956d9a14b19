// UTF-8 to and from wide text, for a wchar_t of 16 bits (UTF-16) or 32 bits (UTF-32).
#pragma once

#include <string>
#include <string_view>

namespace tarn::portable {

// Unpaired surrogates and values beyond U+10FFFF become U+FFFD.
std::string toUtf8(std::wstring_view text);

// Bytes that are not valid UTF-8 become U+FFFD, one per maximal invalid subpart.
std::wstring fromUtf8(std::string_view bytes);

// Decodes a byte stream that arrives in pieces: a character split between two pieces comes
// out whole with the second.
class Utf8Decoder {
public:
    std::wstring decode(std::string_view bytes);
    // What is left of an unfinished character at the end of the stream.
    std::wstring finish();

private:
    void emit(std::wstring& out, char32_t codePoint);

    char32_t partial_ = 0;
    int needed_ = 0; // continuation bytes still to come
    int seen_ = 0;   // continuation bytes taken so far
    char32_t lowerBound_ = 0x80;
    char32_t upperBound_ = 0xBF; // range of the next continuation byte
};

} // namespace tarn::portable
