// The message formatter must give the same text on every build: these expectations run
// natively (32-bit wchar_t, glibc) and under Wine (16-bit wchar_t, mingw's C library).
#include "eventlog/WideFormat.h"

#include <array>
#include <cstdint>
#include <cwchar>
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace tarn::eventlog {
namespace {

TEST(WideFormat, ConversionsOfTheServiceMessages) {
    EXPECT_EQ(formatWide(L"dwEventType: %d", 32768), L"dwEventType: 32768");
    EXPECT_EQ(formatWide(L"%d", std::numeric_limits<std::int32_t>::min()), L"-2147483648");
    EXPECT_EQ(formatWide(L"%d", -1), L"-1");
    EXPECT_EQ(formatWide(L"queue size %u", 0u), L"queue size 0");
    EXPECT_EQ(formatWide(L"%u", std::uint32_t{4294967295u}), L"4294967295");
    EXPECT_EQ(formatWide(L"%u", -1), L"4294967295");
    EXPECT_EQ(formatWide(L"%04x", 0x0A), L"000a");
    EXPECT_EQ(formatWide(L"%04x", 0x1234), L"1234");
    EXPECT_EQ(formatWide(L"%04x", std::uint16_t{0xFFFF}), L"ffff");
    EXPECT_EQ(formatWide(L"%08lX", std::uint32_t{0x5E1B9C3A}), L"5E1B9C3A");
    EXPECT_EQ(formatWide(L"%08lX", std::uint32_t{0x1A}), L"0000001A");
    EXPECT_EQ(formatWide(L"%04hX", std::uint16_t{0x7F24}), L"7F24");
    EXPECT_EQ(formatWide(L"%04hX", 0x12345), L"2345"); // h keeps 16 bits
    EXPECT_EQ(formatWide(L"%02hhX", std::uint8_t{0x0A}), L"0A");
    EXPECT_EQ(formatWide(L"%02hhX", 0x1FF), L"FF");                    // hh keeps 8 bits
    EXPECT_EQ(formatWide(L"%lX", std::uint64_t{0x1'0000'0001}), L"1"); // l is Windows' 32 bits
}

TEST(WideFormat, PercentSTakesWideTextOnEveryBuild) {
    const std::wstring line = L"Found DFU: [7c3e:5711] ver=0102, serial=\"\u00e9\u4e2d\"";
    EXPECT_EQ(formatWide(L"analyseBuffer strTmp= %s", line), L"analyseBuffer strTmp= " + line);
    EXPECT_EQ(formatWide(L"%s|%s", L"a", std::wstring_view(L"b")), L"a|b");
    EXPECT_EQ(formatWide(L"[%s]", L""), L"[]");
    EXPECT_EQ(formatWide(L"[%s]", static_cast<const wchar_t*>(nullptr)), L"[(null)]");
    EXPECT_EQ(formatWide(L"[%5s][%-5s][%.2s]", L"ab", L"ab", L"abc"), L"[   ab][ab   ][ab]");
    // Embedded NUL characters are text like any other.
    const std::wstring withNul(L"a\0b", 3);
    EXPECT_EQ(formatWide(L"%s", withNul), withNul);
}

TEST(WideFormat, TheGuidMessage) {
    const wchar_t* fmt =
        L"Guid = {%08lX-%04hX-%04hX-%02hhX%02hhX-%02hhX%02hhX%02hhX%02hhX%02hhX%02hhX}";
    const std::uint8_t d4[8] = {0xA1, 0xC8, 0x93, 0xE0, 0xF2, 0xB4, 0x7D, 0x15};
    EXPECT_EQ(formatWide(fmt, std::uint32_t{0x5E1B9C3A}, std::uint16_t{0x7F24},
                         std::uint16_t{0x4D6B}, d4[0], d4[1], d4[2], d4[3], d4[4], d4[5], d4[6],
                         d4[7]),
              L"Guid = {5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}");
}

TEST(WideFormat, FormatsWithoutConversionsAndOddFormats) {
    EXPECT_EQ(formatWide(L"enter onStop function."), L"enter onStop function.");
    EXPECT_EQ(formatWide(L"100%%"), L"100%");
    // A conversion without its argument, of the wrong kind, or unknown stays as written.
    EXPECT_EQ(formatWide(L"a %d b"), L"a %d b");
    EXPECT_EQ(formatWide(L"%d", L"text"), L"%d");
    EXPECT_EQ(formatWide(L"%s", 5), L"%s");
    EXPECT_EQ(formatWide(L"%q %", 1), L"%q %");
    EXPECT_EQ(formatWide(L"trailing %"), L"trailing %");
    EXPECT_EQ(formatWide(L"%+d % d %5d %-5d| %05d %.3d", 7, 7, 7, 7, -7, 7),
              L"+7  7     7 7    | -0007 007");
    EXPECT_EQ(formatWide(L"%c", L'x'), L"x");
}

TEST(WideFormat, CutsAtTheBufferWithoutError) {
    std::array<wchar_t, 8> buffer{};
    EXPECT_EQ(formatInto(buffer, L"%s", std::array{FormatArg(L"0123456789")}), 7u);
    EXPECT_EQ(std::wstring(buffer.data()), L"0123456");
    EXPECT_EQ(formatInto(buffer, L"%05d-%s", std::array{FormatArg(42), FormatArg(L"xy")}), 7u);
    EXPECT_EQ(std::wstring(buffer.data()), L"00042-x");
    std::array<wchar_t, 1> tiny{L'z'};
    EXPECT_EQ(formatInto(tiny, L"abc", {}), 0u);
    EXPECT_EQ(tiny[0], L'\0');
}

// Our integer conversions agree with the C library's swprintf, which both libraries implement
// alike for numbers (they part ways only on %s and on truncation).
TEST(WideFormat, NumbersAgreeWithTheCLibrary) {
    const std::int32_t signedValues[] = {0, 1, -1, 42, -42, 2147483647, -2147483647 - 1, 65535};
    const wchar_t* signedFormats[] = {L"%d", L"%5d", L"%-5d|", L"%05d", L"%+d", L"% d", L"%.4d"};
    for (const wchar_t* fmt : signedFormats) {
        for (std::int32_t v : signedValues) {
            std::array<wchar_t, 64> expected{};
            std::swprintf(expected.data(), expected.size(), fmt, v);
            EXPECT_EQ(formatWide(fmt, v), expected.data()) << fmt << " " << v;
        }
    }
    const std::uint32_t unsignedValues[] = {0u, 1u, 0x1Au, 0xFFFFu, 0x12345678u, 0xFFFFFFFFu};
    const wchar_t* unsignedFormats[] = {L"%u", L"%x", L"%X", L"%04x", L"%08X", L"%-6x|"};
    for (const wchar_t* fmt : unsignedFormats) {
        for (std::uint32_t v : unsignedValues) {
            std::array<wchar_t, 64> expected{};
            std::swprintf(expected.data(), expected.size(), fmt, v);
            EXPECT_EQ(formatWide(fmt, v), expected.data()) << fmt << " " << v;
        }
    }
    for (std::uint32_t v : unsignedValues) {
        std::array<wchar_t, 64> expected{};
        std::swprintf(expected.data(), expected.size(), L"%04hX|%02hhX",
                      static_cast<unsigned short>(v), static_cast<unsigned char>(v));
        EXPECT_EQ(formatWide(L"%04hX|%02hhX", v, v), expected.data()) << v;
    }
}

} // namespace
} // namespace tarn::eventlog
