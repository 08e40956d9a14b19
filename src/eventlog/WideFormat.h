// Printf-style formatting of wide text, the same on every build.
//
// The C libraries disagree on wide formats: in swprintf, "%s" takes a wide string under the
// Microsoft runtime but a narrow one under C99, glibc and mingw-w64's C++ default, and they
// return different things on truncation. Every message of the service is formatted here
// instead, so a format means the same thing with a 16-bit or a 32-bit wchar_t.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarn::eventlog {

// One argument of a format, taken by value (strings by view: they only need to outlive the call).
class FormatArg {
public:
    enum class Kind { None, Signed, Unsigned, Text };

    constexpr FormatArg() = default;
    template <std::integral T>
    constexpr FormatArg(T value) // NOLINT(google-explicit-constructor): used in argument packs
    {
        if constexpr (std::is_same_v<T, bool> || std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            signed_ = static_cast<std::int64_t>(value);
        } else {
            kind_ = Kind::Unsigned;
            unsigned_ = static_cast<std::uint64_t>(value);
        }
    }
    constexpr FormatArg(std::wstring_view text) : kind_(Kind::Text), text_(text) {} // NOLINT
    FormatArg(const std::wstring& text) : kind_(Kind::Text), text_(text) {}         // NOLINT
    constexpr FormatArg(const wchar_t* text)                                        // NOLINT
        : kind_(Kind::Text), text_(text ? std::wstring_view(text) : std::wstring_view(L"(null)")) {}

    constexpr Kind kind() const { return kind_; }
    // The argument's bits as an unsigned 64-bit value (text gives 0).
    constexpr std::uint64_t bits() const {
        return kind_ == Kind::Signed ? static_cast<std::uint64_t>(signed_) : unsigned_;
    }
    constexpr std::wstring_view text() const { return text_; }

private:
    Kind kind_ = Kind::None;
    std::int64_t signed_ = 0;
    std::uint64_t unsigned_ = 0;
    std::wstring_view text_;
};

// Formats `format` with `args` into `out`, which is always terminated. Text that does not fit
// is cut at out.size() - 1 characters without an error. Returns the number of characters
// written before the terminator. Allocates nothing.
//
// Conversions: %d %i (signed), %u (unsigned), %x %X (hexadecimal), %c, %s (wide text), %%;
// flags '-', '0', '+', ' '; a width; a precision (digits for numbers, characters for %s);
// the length modifiers hh (8 bits), h (16), l (32, as Windows' long), ll and j and z (64).
// Without a modifier an integer conversion takes 32 bits. A conversion whose argument is
// missing or of the wrong kind is written out as it stands in the format.
std::size_t formatInto(std::span<wchar_t> out, std::wstring_view format,
                       std::span<const FormatArg> args);

// The same without a size limit, for tests and tools.
std::wstring format(std::wstring_view format, std::span<const FormatArg> args);

template <class... Args> std::wstring formatWide(std::wstring_view fmt, const Args&... args) {
    const FormatArg packed[] = {FormatArg(args)..., FormatArg()};
    return format(fmt, std::span<const FormatArg>(packed, sizeof...(Args)));
}

} // namespace tarn::eventlog
