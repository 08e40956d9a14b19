#include "upgrade/OutputAnalysis.h"

#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace tarn::upgrade {
namespace {

TEST(DeviceLine, KeyValueRunsToTheFirstCommaAfterTheKey) {
    const std::wstring line =
        L"Found Runtime: [7c3e:5710] ver=0102, devnum=4, cfg=1, intf=0, serial=\"SN0001\"\r";
    EXPECT_EQ(getKeyValue(line, L"ver="), L"0102");
    EXPECT_EQ(getKeyValue(line, L"cfg="), L"1");
    EXPECT_EQ(getKeyValue(line, L"serial="), L"\"SN0001\"\r"); // the last key keeps the CR
    EXPECT_EQ(getKeyValue(line, L"active="), L"");
    EXPECT_EQ(getKeyValue(L"x ver=", L"ver="), L"");        // key at the very end
    EXPECT_EQ(getKeyValue(L"ver=,cfg=2", L"ver="), L"");    // key without a value
    EXPECT_EQ(getKeyValue(L"ver= 01 ,", L"ver="), L" 01 "); // nothing trimmed
    // The first occurrence wins, also inside a longer word.
    EXPECT_EQ(getKeyValue(L"name=\"xcfg=9\", cfg=1", L"cfg="), L"9\"");
}

TEST(DeviceLine, TrimUsesTheSameSpaceClassOnEveryBuild) {
    EXPECT_EQ(trim(L" \t\r\n\v\f0102 \r"), L"0102");
    EXPECT_EQ(trim(L"\u00a0\u2003\u3000SN 01\u2028"), L"SN 01");
    EXPECT_EQ(trim(L"   "), L"");
    EXPECT_EQ(trim(L""), L"");
    EXPECT_EQ(trim(std::wstring(L"\0x\0", 3)), std::wstring(L"\0x\0", 3)); // NUL is no space
    EXPECT_FALSE(isWideSpace(L'\u200b')); // zero-width space is not white space
    EXPECT_FALSE(isWideSpace(L'_'));
}

TEST(DeviceLine, DecimalConversionClampsAndStopsAtTheFirstNonDigit) {
    EXPECT_EQ(toInt32(L"1"), 1);
    EXPECT_EQ(toInt32(L"12abc"), 12);
    EXPECT_EQ(toInt32(L"  -7,"), -7);
    EXPECT_EQ(toInt32(L"+3"), 3);
    EXPECT_EQ(toInt32(L"abc"), 0);
    EXPECT_EQ(toInt32(L""), 0);
    EXPECT_EQ(toInt32(L"- 1"), 0);
    EXPECT_EQ(toInt32(L"2147483647"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(toInt32(L"2147483648"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(toInt32(L"-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(toInt32(L"-99999999999999999999999"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(toInt32(std::wstring(100000, L'9')), std::numeric_limits<std::int32_t>::max());
}

TEST(DeviceLine, ModeWordsCountOnlyWhenTheirFirstOccurrenceIsNotAtTheStart) {
    EXPECT_TRUE(hasWordAfterStart(L"Found Runtime: x", L"Runtime"));
    EXPECT_FALSE(hasWordAfterStart(L"Runtime: x Runtime", L"Runtime"));
    EXPECT_FALSE(hasWordAfterStart(L"Found runtime", L"Runtime"));
    EXPECT_FALSE(hasWordAfterStart(L"", L"DFU"));
}

TEST(DeviceLine, CodeUnitOrder) {
    EXPECT_LT(compareCodeUnits(L"0102", L"0103"), 0);
    EXPECT_GT(compareCodeUnits(L"0a00", L"0A00"), 0);
    EXPECT_GT(compareCodeUnits(L"999", L"0a00"), 0);
    EXPECT_LT(compareCodeUnits(L"", L"0"), 0);
    EXPECT_LT(compareCodeUnits(L"fw", L"fw_1"), 0); // a prefix sorts first
    EXPECT_EQ(compareCodeUnits(L"x", L"x"), 0);
    EXPECT_LT(compareCodeUnits(L"FW_2.dfu", L"fw_1.dfu"), 0);
    // Beyond U+FFFF both builds order by UTF-16 code units: a surrogate (D83D) sorts before
    // U+E000, although the code point U+1F600 is the larger.
    EXPECT_LT(compareCodeUnits(L"\U0001F600", L"\uE000"), 0);
    EXPECT_GT(compareCodeUnits(L"\U0001F600", L"\uD7FF"), 0);
}

} // namespace
} // namespace tarn::upgrade
