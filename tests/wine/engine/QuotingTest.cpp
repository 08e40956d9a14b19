// The engine's command lines against the real Microsoft C runtime: a Windows child in the tool's
// place receives them through the Win32 runner, and both the argv its C runtime builds and
// CommandLineToArgvW must give back exactly the arguments the engine meant. Our own splitter is
// not the reference here: a fault shared by it and the quoting would pass the native tests.
//
// The serials are random; TARN_TEST_SEED repeats a run (the seed is printed on failure).
#include "SeamRun.h"
#include "WineSupport.h"
#include "portable/Utf8.h"
#include "portable/WindowsCommandLine.h"
#include "upgrade/CommandLines.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <sstream>

namespace tarn::upgrade {
namespace {

using winetest::ServiceDirectory;
using Args = std::vector<std::wstring>;

// What makes quoting hard, as pieces of a serial: blanks and tabs, quotes, runs of backslashes
// and backslashes before quotes, other white space, characters outside ASCII and one outside
// the Basic Multilingual Plane (a surrogate pair), and plain text.
const std::vector<std::wstring> kPieces = {
    L" ",  L"\t",      L"\"",         L"\\",     L"\\\\\\", L"\\\"",     L"\\\\\"", L"\"\"",
    L"\n", L"\v",      L"a",          L"Z9",     L"-S",     L",:=",      L"\u00e9", L"\u65e5\u672c",
    L"%",  L"&^|<>()", L"\U0001F600", L"SN0001", L"  \t",   L"\\\\\\\\",
};

struct Splits {
    Args crt;
    Args shell32;
};

std::wstring fromHex(const std::string& hex) {
    std::wstring text;
    for (std::size_t i = 0; i + 4 <= hex.size(); i += 4) {
        text += static_cast<wchar_t>(std::stoul(hex.substr(i, 4), nullptr, 16));
    }
    return text;
}

// The echo's report: "crt N", N lines, "shell32 M", M lines.
std::optional<Splits> parseSplits(const std::string& output) {
    std::istringstream in(output);
    Splits splits;
    for (Args* args : {&splits.crt, &splits.shell32}) {
        std::string word;
        long count = -1;
        if (!(in >> word >> count) || count < 0) {
            return std::nullopt;
        }
        in.ignore(1); // the line feed
        for (long k = 0; k < count; ++k) {
            std::string hex;
            std::getline(in, hex);
            args->push_back(fromHex(hex));
        }
    }
    return splits;
}

// Empty when both are equal; otherwise where they first differ, short enough to read.
std::string difference(const Args& expected, const Args& actual) {
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) {
        ++at;
    }
    if (at == expected.size() && at == actual.size()) {
        return {};
    }
    auto shown = [&](const Args& args) {
        return at < args.size() ? "\"" + portable::toUtf8(args[at]) + "\"" : std::string("nothing");
    };
    return "argument " + std::to_string(at) + " of " + std::to_string(expected.size()) +
           ": expected " + shown(expected) + ", got " + shown(actual) + " (of " +
           std::to_string(actual.size()) + ")";
}

class WineQuoting : public ::testing::Test {
protected:
    ServiceDirectory services;
    unsigned seed = 0;
    std::mt19937 random;

    void SetUp() override {
        // The echo stands where the engine expects the tool, so its command lines run as built.
        ASSERT_TRUE(CopyFileW(winetest::windowsPathOf(TARN_ARGV_ECHO).c_str(),
                              ServiceDirectory::tool().c_str(), FALSE));
        ASSERT_TRUE(SetEnvironmentVariableW(L"TARN_ARGV_ECHO_SPLITS", L"1"));
        const char* given = std::getenv("TARN_TEST_SEED");
        seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                : std::random_device{}();
        random.seed(seed);
    }
    void TearDown() override { SetEnvironmentVariableW(L"TARN_ARGV_ECHO_SPLITS", nullptr); }

    std::wstring randomText(std::size_t maxPieces) {
        std::wstring text;
        for (std::size_t n = random() % (maxPieces + 1); n > 0; --n) {
            text += kPieces[random() % kPieces.size()];
        }
        return text;
    }

    // Runs the command line through the Win32 runner; both splits must be `expected`.
    void expectSplits(std::wstring commandLine, const Args& expected) {
        const std::wstring shown = commandLine.substr(0, 200);
        const auto run = winetest::runThroughSeam(std::move(commandLine));
        ASSERT_TRUE(run.started) << run.failedStep << ", error " << run.startError << ": "
                                 << portable::toUtf8(shown);
        ASSERT_TRUE(run.ended) << portable::toUtf8(shown);
        const auto splits = parseSplits(run.output);
        ASSERT_TRUE(splits) << run.output;
        EXPECT_EQ(difference(expected, splits->crt), "") << "the C runtime's argv";
        EXPECT_EQ(difference(expected, splits->shell32), "") << "CommandLineToArgvW";
    }
};

TEST_F(WineQuoting, ThousandsOfSerialsComeBackWhole) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Many serials to a start: each is one argument of a command line built by the engine's
    // own quoting, after the tool's quoted path.
    constexpr int kSerials = 20000;
    constexpr std::size_t kLineLimit = 30000; // CreateProcessW takes 32767 characters
    int done = 0;
    while (done < kSerials) {
        std::wstring line = portable::quoteProgram(ServiceDirectory::tool());
        Args expected = {ServiceDirectory::tool()};
        for (; done < kSerials; ++done) {
            std::wstring serial = randomText(6);
            const std::wstring quoted = L" " + portable::quoteArgument(serial);
            if (line.size() + quoted.size() > kLineLimit) {
                break;
            }
            line += quoted;
            expected.push_back(std::move(serial));
        }
        expectSplits(std::move(line), expected);
        if (HasFailure()) {
            return;
        }
    }
}

TEST_F(WineQuoting, TheDetachAndDownloadLinesAsTheEngineBuildsThem) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Args prefix = {ServiceDirectory::tool(), L"-d", L"7c3e:5710,7c3e:5711", L"-S"};
    for (int i = 0; i < 100 && !HasFailure(); ++i) {
        const std::wstring serial = randomText(8);
        const std::int32_t cfg = static_cast<std::int32_t>(random() % 300) - 10;
        Args detach = prefix;
        detach.insert(detach.end(), {serial, L"-c", std::to_wstring(cfg), L"-e", L"-f"});
        expectSplits(detachCommandLine(serial, cfg), detach);

        // Package names end in backslashes too: the closing quote must stay a quote.
        const std::wstring package = std::wstring(kServiceDirectory) + randomText(5) + L".dfu" +
                                     (i % 3 == 0 ? L"\\\\" : L"");
        Args download = prefix;
        download.insert(download.end(), {serial, L"-D", package});
        expectSplits(downloadCommandLine(serial, package), download);
    }
}

} // namespace
} // namespace tarn::upgrade
