// The command lines, and the quoting that keeps a device's serial one argument.
#include "upgrade/CommandLines.h"

#include "portable/WindowsCommandLine.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace tarn::upgrade {
namespace {

using Args = std::vector<std::wstring>;
const std::wstring kExe = L"C:\\Program Files\\Vantor\\Tarn\\Services\\dfu-util.exe";

TEST(CommandLines, TheThreeLines) {
    EXPECT_EQ(listingCommandLine(), L"\"" + kExe + L"\" -l");
    EXPECT_EQ(detachCommandLine(L"ABC123", 1),
              L"\"" + kExe + L"\" -d 7c3e:5710,7c3e:5711 -S ABC123 -c 1 -e -f");
    EXPECT_EQ(downloadCommandLine(L"ABC123", L"C:\\Program Files\\Vantor\\Tarn\\Services\\fw.dfu"),
              L"\"" + kExe +
                  L"\" -d 7c3e:5710,7c3e:5711 -S ABC123 -D "
                  L"\"C:\\Program Files\\Vantor\\Tarn\\Services\\fw.dfu\"");
    // An empty serial no longer lets -S swallow the next option.
    EXPECT_EQ(detachCommandLine(L"", -3),
              L"\"" + kExe + L"\" -d 7c3e:5710,7c3e:5711 -S \"\" -c -3 -e -f");
}

TEST(CommandLines, TheChildSeesTheArgumentsWeMeant) {
    EXPECT_EQ(portable::splitWindowsCommandLine(detachCommandLine(L"SN 1\" -U C:\\x", 2)),
              (Args{kExe, L"-d", L"7c3e:5710,7c3e:5711", L"-S", L"SN 1\" -U C:\\x", L"-c", L"2",
                    L"-e", L"-f"}));
    // An empty package name leaves the directory alone, its closing backslash kept whole.
    const std::wstring dir = L"C:\\Program Files\\Vantor\\Tarn\\Services\\";
    EXPECT_EQ(portable::splitWindowsCommandLine(downloadCommandLine(L"A", dir)),
              (Args{kExe, L"-d", L"7c3e:5710,7c3e:5711", L"-S", L"A", L"-D", dir}));
}

TEST(WindowsCommandLine, QuotingFollowsTheWindowsRules) {
    using portable::quoteArgument;
    EXPECT_EQ(portable::quoteArgument(L"ABC123"), L"ABC123");
    EXPECT_EQ(portable::quoteArgument(L""), L"\"\"");
    EXPECT_EQ(portable::quoteArgument(L"a b"), L"\"a b\"");
    EXPECT_EQ(portable::quoteArgument(L"a\tb"), L"\"a\tb\"");
    EXPECT_EQ(portable::quoteArgument(L"a\"b"), L"\"a\\\"b\"");
    EXPECT_EQ(portable::quoteArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
    EXPECT_EQ(portable::quoteArgument(L"a\\b"), L"a\\b"); // lone backslashes stay as they are
    EXPECT_EQ(portable::quoteArgument(L"a b\\"), L"\"a b\\\\\"");
    // Characters a shell reads as well are quoted when the caller names them.
    EXPECT_EQ(portable::quoteArgument(L"USB#VID_7C3E&PID_5710"), L"USB#VID_7C3E&PID_5710");
    EXPECT_EQ(portable::quoteArgument(L"USB#VID_7C3E&PID_5710", L"&|"),
              L"\"USB#VID_7C3E&PID_5710\"");
    EXPECT_EQ(portable::quoteArgument(L"32768", L"&|"), L"32768");
}

// For any serial the child receives exactly one argument equal to it, and the rest of the
// line is untouched.
TEST(CommandLines, AnySerialArrivesAsOneWholeArgument) {
    std::mt19937 random(20261209);
    const std::wstring alphabet = L" \t\"\\\n\v-SabcDU:,=\u00e9\u4e2d*?%";
    for (int i = 0; i < 5000; ++i) {
        std::wstring serial;
        const int length = static_cast<int>(random() % 12);
        for (int j = 0; j < length; ++j) {
            serial += alphabet[random() % alphabet.size()];
        }
        const Args detach = portable::splitWindowsCommandLine(detachCommandLine(serial, 1));
        ASSERT_EQ(detach, (Args{kExe, L"-d", L"7c3e:5710,7c3e:5711", L"-S", serial, L"-c", L"1",
                                L"-e", L"-f"}))
            << i;
        const std::wstring package = L"C:\\Program Files\\x " + serial + L".dfu";
        const Args download =
            portable::splitWindowsCommandLine(downloadCommandLine(serial, package));
        ASSERT_EQ(download,
                  (Args{kExe, L"-d", L"7c3e:5710,7c3e:5711", L"-S", serial, L"-D", package}))
            << i;
    }
}

TEST(WindowsCommandLine, SplitsAsTheCRuntimeDoes) {
    using portable::splitWindowsCommandLine;
    EXPECT_EQ(portable::splitWindowsCommandLine(L"C:\\Program Files\\x.exe -l"),
              (Args{L"C:\\Program", L"Files\\x.exe", L"-l"})); // why the program is quoted
    EXPECT_EQ(portable::splitWindowsCommandLine(L"\"C:\\a b\\x.exe\"  -l\t\"\" x"),
              (Args{L"C:\\a b\\x.exe", L"-l", L"", L"x"}));
    EXPECT_EQ(portable::splitWindowsCommandLine(L"p a\\\\\\\"b \"c\\\\\" d\\e"),
              (Args{L"p", L"a\\\"b", L"c\\", L"d\\e"}));
    EXPECT_EQ(portable::splitWindowsCommandLine(L"p \"a\"\"b\" c\"d e\"f"),
              (Args{L"p", L"a\"b", L"cd ef"}));
    EXPECT_EQ(portable::splitWindowsCommandLine(L"\"p q"), Args{L"p q"});
    EXPECT_EQ(portable::splitWindowsCommandLine(L""), Args{L""});
}

} // namespace
} // namespace tarn::upgrade
