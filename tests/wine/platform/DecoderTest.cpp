#include "Win32TestSupport.h"
#include "platform/Processes.h"
#include "platform/win32/CodePageDecoder.h"

#include <array>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <windows.h>

namespace tarn::platform {
namespace {

using namespace std::chrono_literals;

// What one conversion of all the bytes at once gives.
std::wstring convertWhole(UINT codePage, std::string_view bytes) {
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), size, out.data(), length);
    return out;
}

// Feeds the bytes cut at `cut`, then finishes.
std::wstring decodeCut(OutputDecoder& decoder, std::string_view bytes, std::size_t cut) {
    std::wstring out = decoder.decode(bytes.substr(0, cut));
    out += decoder.decode(bytes.substr(cut));
    return out + decoder.finish();
}

void expectEveryCutGivesTheWhole(UINT codePage, std::string_view bytes) {
    const std::wstring whole = convertWhole(codePage, bytes);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        auto decoder = win32::newCodePageDecoder(codePage, codePage);
        EXPECT_EQ(decodeCut(*decoder, bytes, cut), whole) << "cut after byte " << cut;
    }
    auto decoder = win32::newCodePageDecoder(codePage, codePage);
    std::wstring byByte;
    for (char c : bytes) {
        byByte += decoder->decode(std::string_view(&c, 1));
    }
    EXPECT_EQ(byByte + decoder->finish(), whole) << "one byte at a time";
}

TEST(Win32OutputDecoder, Utf8CharactersCutAnywhereComeOutWhole) {
    // Two-, three- and four-byte sequences between ASCII.
    expectEveryCutGivesTheWhole(CP_UTF8, "a\xC3\xA9 b\xE2\x82\xAC c\xF0\x9F\x98\x80 d");
    auto decoder = win32::newCodePageDecoder(CP_UTF8, CP_UTF8);
    EXPECT_EQ(decoder->decode("caf\xC3"), L"caf");
    EXPECT_EQ(decoder->decode("\xA9!"), L"\u00E9!");
}

TEST(Win32OutputDecoder, BrokenUtf8IsNotHeldBackForever) {
    auto decoder = win32::newCodePageDecoder(CP_UTF8, CP_UTF8);
    // Stray continuation bytes cannot become whole: they are converted at once.
    EXPECT_EQ(decoder->decode("\x80x"), L"\uFFFDx");
    // A lead byte followed by something that does not continue it.
    EXPECT_EQ(decoder->decode("\xE2\x82"), L"");
    EXPECT_EQ(decoder->decode("A"), L"\uFFFDA");
    // A character still unfinished at the end comes out with finish().
    EXPECT_EQ(decoder->decode("\xF0\x9F"), L"");
    EXPECT_EQ(decoder->finish(), L"\uFFFD");
    EXPECT_EQ(decoder->finish(), L"");
}

TEST(Win32OutputDecoder, DoubleByteCharactersCutAnywhereComeOutWhole) {
    CPINFO info;
    if (!GetCPInfo(932, &info)) {
        GTEST_SKIP() << "code page 932 is not installed";
    }
    // Trail bytes can look like ASCII (0x95 0x5C ends in a backslash) or like a lead byte
    // (0x88 0x9F), so only a walk from a known character start finds where one is cut.
    expectEveryCutGivesTheWhole(932, "a\x95\x5C\x95\x5C\\\x82\xA0\x88\x9Fz");
    auto decoder = win32::newCodePageDecoder(932, 932);
    EXPECT_EQ(decoder->decode("\x95\x5C\x95"), L"\u8868");
    EXPECT_EQ(decoder->decode("\x5C"), L"\u8868");
    EXPECT_EQ(decoder->decode("\x82"), L"");
    EXPECT_FALSE(decoder->finish().empty()) << "a lone lead byte is converted at the end";
}

TEST(Win32OutputDecoder, SingleByteCodePagesHoldNothingBack) {
    auto decoder = win32::newCodePageDecoder(1252, 1252);
    EXPECT_EQ(decoder->decode("\xE9\x80"), L"\u00E9\u20AC");
    EXPECT_EQ(decoder->finish(), L"");
}

// Sets a thread locale for one test and puts the old one back.
class ThreadLocale {
public:
    explicit ThreadLocale(LCID locale) : previous_(GetThreadLocale()) {
        set_ = SetThreadLocale(locale) != FALSE;
    }
    ~ThreadLocale() { SetThreadLocale(previous_); }
    bool set() const { return set_; }

private:
    LCID previous_;
    bool set_ = false;
};

TEST(Win32OutputDecoder, FollowsTheThreadsAnsiCodePage) {
    ThreadLocale japanese(
        MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT));
    if (!japanese.set() || win32::threadAnsiCodePage() != 932) {
        GTEST_SKIP() << "this system does not give a thread its own code page 932";
    }
    auto decoder = systemProcesses().newOutputDecoder();
    EXPECT_EQ(decoder->decode("x\x82"), L"x");
    EXPECT_EQ(decoder->decode("\xA0"), L"\u3042");
}

TEST(Win32OutputDecoder, ACharacterTheChildWritesInTwoPiecesArrivesWhole) {
    ThreadLocale japanese(
        MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT));
    if (!japanese.set() || win32::threadAnsiCodePage() != 932) {
        GTEST_SKIP() << "this system does not give a thread its own code page 932";
    }
    auto pipe = systemProcesses().createPipe();
    ASSERT_TRUE(pipe);
    std::wstring commandLine = L"\"" + test::helperPath() + L"\" hex 4182 sleep 1000 hex A042";
    auto child = systemProcesses().startProcess(commandLine, pipe->write);
    ASSERT_TRUE(child);
    pipe->write.reset();

    auto decoder = systemProcesses().newOutputDecoder();
    std::wstring text;
    std::array<char, 4095> buffer{};
    for (int i = 0; i < 200; ++i) {
        const auto result = pipe->read.read(buffer, 100ms);
        if (result.status == PipeReadEnd::Status::Ended) {
            break;
        }
        text += decoder->decode(std::string_view(buffer.data(), result.bytes));
    }
    text += decoder->finish();
    // The child's pause nearly always puts the two halves into two reads; on a loaded machine
    // they may come in one, and the text must be right either way.
    EXPECT_EQ(text, L"A\u3042B");
}

} // namespace
} // namespace tarn::platform
