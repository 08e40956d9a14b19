// The stand-in's processes and pipes, with real children.
#include "StandinTestSupport.h"
#include "platform/standin/OutputBounds.h"
#include "portable/Utf8.h"
#include "portable/WindowsCommandLine.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <future>
#include <random>
#include <unistd.h>

namespace tarn::platform::testing {
namespace {

using Status = PipeReadEnd::Status;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr wchar_t kEcho[] = L"C:\\Program Files\\Vantor Test\\argv-echo";

std::wstring quoted(std::wstring_view program) {
    return L"\"" + std::wstring(program) + L"\"";
}

std::size_t countOpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

struct Children {
    int running = 0;
    int zombies = 0; // ended and never reaped
};

// This process's children, as /proc shows them.
Children childrenOfThisProcess() {
    Children children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        const auto close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        long parent = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &parent) == 2 &&
            parent == ::getpid()) {
            ++(state == 'Z' ? children.zombies : children.running);
        }
    }
    return children;
}

class ProcessesTest : public SysRootTest {
protected:
    void SetUp() override {
        SysRootTest::SetUp();
        installEcho(kEcho);
    }

    std::wstring actions(const std::wstring& list) const {
        return quoted(kEcho) + L" --do " + list;
    }
};

TEST_F(ProcessesTest, OutputAndErrorsShareThePipeInTheOrderWritten) {
    const auto run = runToEnd(actions(L"out=one err=two sleep=20 out=three err=four"));
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.output, "onetwothreefour");

    // More than a pipe holds: the child waits for the reader and nothing is lost.
    const auto large = runToEnd(actions(L"bytes=300000 err=end"));
    EXPECT_EQ(large.output, std::string(300000, 'x') + "end");
}

TEST_F(ProcessesTest, TheReadEndsWhenTheChildIsGoneAndStaysEnded) {
    auto& processes = systemProcesses();
    auto pipe = processes.createPipe();
    ASSERT_TRUE(pipe);
    std::wstring commandLine = actions(L"exit=3");
    auto child = processes.startProcess(commandLine, pipe->write);
    ASSERT_TRUE(child);
    pipe->write.reset();
    std::array<char, 16> buffer{};
    EXPECT_EQ(pipe->read.read(buffer, milliseconds(10000)).status, Status::Ended);
    EXPECT_EQ(pipe->read.read(buffer, milliseconds(10000)).status, Status::Ended);
}

TEST_F(ProcessesTest, ASilentChildTimesOutAndTerminateEndsIt) {
    auto& processes = systemProcesses();
    auto pipe = processes.createPipe();
    ASSERT_TRUE(pipe);
    std::wstring commandLine = actions(L"out=ready sleep=600000 out=late");
    auto child = processes.startProcess(commandLine, pipe->write);
    ASSERT_TRUE(child);
    pipe->write.reset();

    std::array<char, 64> buffer{};
    const auto first = pipe->read.read(buffer, milliseconds(10000));
    ASSERT_EQ(first.status, Status::Data);
    EXPECT_EQ(std::string(buffer.data(), first.bytes), "ready");
    EXPECT_EQ(pipe->read.read(buffer, milliseconds(100)).status, Status::TimedOut);

    // The child would sleep far longer than this read waits: only its end ends the read.
    child.terminate();
    EXPECT_EQ(pipe->read.read(buffer, milliseconds(60000)).status, Status::Ended);
}

TEST_F(ProcessesTest, AStartFailsWithoutARunnableProgram) {
    writeFile(L"C:\\tools\\plain.txt", "not a program");
    writeFile(L"C:\\tools\\garbage", "\x01\x02\x03 neither ELF nor script");
    std::filesystem::permissions(host(L"C:\\tools\\garbage"), std::filesystem::perms::owner_all);
    std::filesystem::create_directories(host(L"C:\\tools\\folder"));

    for (const std::wstring commandLine :
         {L"\"C:\\tools\\missing\" -l", L"\"C:\\tools\\plain.txt\" -l", L"C:\\tools\\garbage",
          L"C:\\tools\\folder", L"argv-echo -l", L"Q:\\tools\\argv-echo", L"", L"\"\" x"}) {
        auto pipe = systemProcesses().createPipe();
        ASSERT_TRUE(pipe);
        std::wstring line = commandLine;
        EXPECT_FALSE(systemProcesses().startProcess(line, pipe->write))
            << portable::toUtf8(commandLine);
    }
}

TEST_F(ProcessesTest, AProgramUnderBlanksStartsQuotedAndAsCreateProcessFindsItUnquoted) {
    const auto quotedRun = runToEnd(quoted(kEcho) + L" -l");
    ASSERT_TRUE(quotedRun.started);
    EXPECT_EQ(parseEcho(quotedRun.output),
              (std::vector<std::string>{portable::toUtf8(kEcho), "-l"}));

    // Unquoted, the program is found by trying each blank in turn, and the child's runtime
    // splits its name at the blanks.
    const auto bare = runToEnd(std::wstring(kEcho) + L" -l");
    ASSERT_TRUE(bare.started);
    EXPECT_EQ(parseEcho(bare.output),
              (std::vector<std::string>{"C:\\Program", "Files\\Vantor", "Test\\argv-echo", "-l"}));
}

TEST_F(ProcessesTest, ArgumentsArriveAsTheWindowsRulesSplitThem) {
    struct Case {
        std::wstring arguments;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {L"\"a b c\" d e", {"a b c", "d", "e"}},
        {L"\"ab\\\"c\" \"\\\\\" d", {"ab\"c", "\\", "d"}},
        {L"a\\\\\\b d\"e f\"g h", {"a\\\\\\b", "de fg", "h"}},
        {L"a\\\\\\\"b c d", {"a\\\"b", "c", "d"}},
        {L"a\\\\\\\\\"b c\" d e", {"a\\\\b c", "d", "e"}},
        {L"\"a\"\"b\" \"\"\"\"", {"a\"b", "\""}},
        {L"\"\" x \"\"", {"", "x", ""}},
        {L"a\tb \"c\td\"   e  ", {"a", "b", "c\td", "e"}},
        {L"Grüße \"日本 語\" 😀", {"Grüße", "日本 語", "😀"}},
        {L"trailing\\ \"end\\\\\"", {"trailing\\", "end\\"}},
    };
    for (const auto& c : cases) {
        const auto run = runToEnd(quoted(kEcho) + L" " + c.arguments);
        ASSERT_TRUE(run.started);
        auto expected = c.expected;
        expected.insert(expected.begin(), portable::toUtf8(kEcho));
        EXPECT_EQ(parseEcho(run.output), expected) << portable::toUtf8(c.arguments);
    }
}

TEST_F(ProcessesTest, RandomArgumentsQuotedByTheWindowsRulesComeBackWhole) {
    static constexpr wchar_t alphabet[] = {L'a',  L'B',  L' ', L'\t', L'\n',         L'\v', L'"',
                                           L'\\', L'\\', L'é', L'日', L'\U0001F600', L'-'};
    std::mt19937 random(20261209);
    std::uniform_int_distribution<std::size_t> argumentCount(0, 6);
    std::uniform_int_distribution<std::size_t> length(0, 8);
    std::uniform_int_distribution<std::size_t> letter(0, std::size(alphabet) - 1);
    for (int round = 0; round < 150; ++round) {
        std::wstring commandLine = quoted(kEcho);
        std::vector<std::string> expected{portable::toUtf8(kEcho)};
        for (std::size_t i = argumentCount(random); i > 0; --i) {
            std::wstring argument;
            for (std::size_t j = length(random); j > 0; --j) {
                argument += alphabet[letter(random)];
            }
            commandLine += L" " + portable::quoteArgument(argument);
            expected.push_back(portable::toUtf8(argument));
        }
        const auto run = runToEnd(commandLine);
        ASSERT_TRUE(run.started);
        ASSERT_EQ(parseEcho(run.output), expected) << portable::toUtf8(commandLine);
    }
}

TEST_F(ProcessesTest, ChildrenGetOnlyThePipeAnEmptyInputAndNoSigpipe) {
    const auto run = runToEnd(actions(L"fds stdin sigpipe"));
    EXPECT_EQ(run.output, "0 1 2\nstdin empty\nEPIPE\n");
}

TEST_F(ProcessesTest, ManyRunsLeakNoDescriptorAndLeaveNoZombie) {
    const std::size_t before = countOpenDescriptors();
    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(runToEnd(actions(L"out=x")).output, "x");
    }
    // Handles dropped while their children still run: these are reaped later.
    for (int i = 0; i < 20; ++i) {
        auto pipe = systemProcesses().createPipe();
        ASSERT_TRUE(pipe);
        std::wstring commandLine = actions(L"sleep=50");
        ASSERT_TRUE(systemProcesses().startProcess(commandLine, pipe->write));
    }
    ASSERT_TRUE(integration::waitUntil([] { return childrenOfThisProcess().running == 0; }));
    // One more run whose child has ended before its handle goes: the handle's end sweeps.
    {
        auto pipe = systemProcesses().createPipe();
        ASSERT_TRUE(pipe);
        std::wstring commandLine = actions(L"exit=0");
        auto child = systemProcesses().startProcess(commandLine, pipe->write);
        ASSERT_TRUE(child);
        pipe->write.reset();
        std::array<char, 8> buffer{};
        EXPECT_EQ(pipe->read.read(buffer, milliseconds(60000)).status, Status::Ended);
        ASSERT_TRUE(integration::waitUntil([] { return childrenOfThisProcess().running == 0; }));
    }
    EXPECT_EQ(childrenOfThisProcess().zombies, 0);
    EXPECT_EQ(countOpenDescriptors(), before);
}

TEST_F(ProcessesTest, DroppingAHandleNeitherWaitsNorStopsTheChild) {
    auto pipe = systemProcesses().createPipe();
    ASSERT_TRUE(pipe);
    // The child holds until the handle is gone: a drop that waited for it would never return.
    const auto gate = sysroot_.root() / "gate";
    std::wstring commandLine =
        actions(L"await=" + portable::fromUtf8(gate.string()) + L" out=still-here");
    auto child = systemProcesses().startProcess(commandLine, pipe->write);
    ASSERT_TRUE(child);
    pipe->write.reset();
    auto dropped = std::async(std::launch::async, [&] { child.reset(); });
    const bool returned = dropped.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
    std::ofstream(gate).put('\n');
    ASSERT_TRUE(returned);

    std::string output;
    std::array<char, 64> buffer{};
    for (auto read = pipe->read.read(buffer, milliseconds(60000)); read.status == Status::Data;
         read = pipe->read.read(buffer, milliseconds(60000))) {
        output.append(buffer.data(), read.bytes);
    }
    EXPECT_EQ(output, "still-here");
}

TEST_F(ProcessesTest, OutputIsDecodedAsUtf8AcrossReads) {
    const auto run = runToEnd(actions(L"out=Grüße"));
    auto decoder = systemProcesses().newOutputDecoder();
    std::wstring text;
    // Byte by byte, as a pipe may deliver it: the split characters come out whole.
    for (const char byte : run.output) {
        text += decoder->decode(std::string_view(&byte, 1));
    }
    text += decoder->finish();
    EXPECT_EQ(text, L"Grüße");
}

// A child does not run faster at a smaller factor, so its time-out must not shrink with it.
TEST_F(ProcessesTest, PipeTimeoutIsRealTimeWhateverTheScale) {
    auto& processes = systemProcesses();
    auto pipe = processes.createPipe();
    ASSERT_TRUE(pipe);
    std::wstring commandLine = actions(L"sleep=600000");
    auto child = processes.startProcess(commandLine, pipe->write);
    ASSERT_TRUE(child);
    pipe->write.reset();

    // Never before the time-out, in real time (how much after is the machine's business).
    std::array<char, 8> buffer{};
    const auto start = SteadyClock::now();
    EXPECT_EQ(pipe->read.read(buffer, milliseconds(400)).status, Status::TimedOut);
    EXPECT_GE(SteadyClock::now() - start, milliseconds(400));
    child.terminate();
}

TEST(OutputBounds, OnlyWholePositiveMillisecondsUpToAYearCount) {
    using standin::parseOutputBound;
    EXPECT_EQ(parseOutputBound("2500"), milliseconds(2500));
    EXPECT_EQ(parseOutputBound("31536000000"), milliseconds(31536000000)); // a year
    for (const char* bad : {static_cast<const char*>(nullptr), "", "0", "-5", "+5", " 5", "5 ",
                            "1.5", "5ms", "31536000001", "99999999999999999999"}) {
        EXPECT_EQ(parseOutputBound(bad), std::nullopt) << (bad ? bad : "(unset)");
    }
}

} // namespace
} // namespace tarn::platform::testing
