#include "platform/Processes.h"

#include "SeamRun.h"
#include "Win32TestSupport.h"
#include "WineSupport.h"

#include <array>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

namespace tarn::platform {
namespace {

using namespace std::chrono_literals;
using Status = PipeReadEnd::Status;
using test::helperPath;

std::wstring helperCommand(std::wstring_view arguments) {
    return L"\"" + helperPath() + L"\" " + std::wstring(arguments);
}

using Capture = winetest::SeamRun;

Capture runToEnd(std::wstring commandLine) {
    Capture run = winetest::runThroughSeam(std::move(commandLine));
    EXPECT_TRUE(run.readsFit);
    return run;
}

TEST(Win32Processes, StandardOutputAndStandardErrorShareThePipeInOrder) {
    const Capture run = runToEnd(helperCommand(L"out one- err two- out three exit 3"));
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.output, "one-two-three");
}

TEST(Win32Processes, ReadEndsWhenASilentChildExits) {
    const Capture run = runToEnd(helperCommand(L"sleep 100"));
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.output, "");
}

TEST(Win32Processes, LargeOutputArrivesWholeInReadsThatFitTheBuffer) {
    const Capture run = runToEnd(helperCommand(L"fill 100000"));
    ASSERT_TRUE(run.ended);
    ASSERT_EQ(run.output.size(), 100000u);
    for (std::size_t i = 0; i < run.output.size(); ++i) {
        ASSERT_EQ(run.output[i], static_cast<char>('a' + i % 26)) << "at byte " << i;
    }
}

TEST(Win32Processes, ReadTimesOutWhileTheChildSleepsAndEndsAfterTerminate) {
    auto pipe = systemProcesses().createPipe();
    ASSERT_TRUE(pipe);
    std::wstring commandLine = helperCommand(L"out before sleep 600000 out after");
    auto child = systemProcesses().startProcess(commandLine, pipe->write);
    ASSERT_TRUE(child);
    pipe->write.reset();

    std::array<char, 64> buffer{};
    auto first = pipe->read.read(buffer, 10s);
    ASSERT_EQ(first.status, Status::Data);
    EXPECT_EQ(std::string(buffer.data(), first.bytes), "before");

    // The child sleeps far longer: only the time-out ends this read.
    const auto quiet = pipe->read.read(buffer, 300ms);
    EXPECT_EQ(quiet.status, Status::TimedOut);
    EXPECT_EQ(quiet.bytes, 0u);

    child.terminate();
    const auto last = pipe->read.read(buffer, 60s);
    EXPECT_EQ(last.status, Status::Ended) << "the terminated child still wrote or lives on";
}

// Only the write end goes to the child. Had it the read end too, a child whose service has gone
// (a stop, an upgrade of the package) would keep its own pipe open and block for good once the
// pipe is full (4 KiB, under Wine as on Windows).
TEST(Win32Processes, AChildWhoseParentClosedItsEndsSeesItsPipeBroken) {
    winetest::ScratchFolder scratch;
    const std::wstring marker = scratch / L"wrote";
    ChildProcess child;
    {
        auto pipe = systemProcesses().createPipe();
        ASSERT_TRUE(pipe);
        std::wstring commandLine = helperCommand(L"sleep 500 fill 65536 touch " + marker);
        child = systemProcesses().startProcess(commandLine, pipe->write);
        ASSERT_TRUE(child);
    } // both ends go; the child runs on
    const bool broken = winetest::waitUntil(
        [&] { return GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES; });
    if (!broken) {
        child.terminate(); // or it holds the session open for good
    }
    EXPECT_TRUE(broken) << "the child is still blocked on its pipe";
}

TEST(Win32Processes, AZeroTimeoutOnAnEmptyPipeReturnsAtOnce) {
    auto pipe = systemProcesses().createPipe();
    ASSERT_TRUE(pipe);
    std::array<char, 16> buffer{};
    EXPECT_EQ(pipe->read.read(buffer, 0ms).status, Status::TimedOut);
    pipe->write.reset();
    EXPECT_EQ(pipe->read.read(buffer, 0ms).status, Status::Ended);
}

TEST(Win32Processes, AMissingProgramDoesNotStart) {
    auto pipe = systemProcesses().createPipe();
    ASSERT_TRUE(pipe);
    const std::wstring missing = test::besideTestExecutable(L"no-such-program.exe") + L" -l";
    std::wstring commandLine = missing;
    EXPECT_FALSE(systemProcesses().startProcess(commandLine, pipe->write));

    // The test runs' helper names the step and the error, and starts it only once.
    const Capture run = runToEnd(missing);
    EXPECT_FALSE(run.started);
    EXPECT_STREQ(run.failedStep, "CreateProcessW");
    EXPECT_EQ(run.startError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Win32Processes, TheTestRunsStartAgainOnlyAfterAShortageOfResources) {
    struct Case {
        std::vector<DWORD> failures; // the errors of the first starts; later ones succeed
        bool started;
        std::size_t starts;
    };
    const Case cases[] = {
        {{ERROR_NOT_ENOUGH_MEMORY}, true, 2},
        {{ERROR_NO_SYSTEM_RESOURCES, ERROR_OUTOFMEMORY}, false, 2},
        {{ERROR_FILE_NOT_FOUND}, false, 1},
        {{ERROR_INVALID_HANDLE}, false, 1},
        {{ERROR_ACCESS_DENIED}, false, 1},
    };
    for (const Case& c : cases) {
        std::size_t starts = 0;
        std::vector<DWORD> retried;
        const Capture run = winetest::retryingAShortage(
            [&] {
                Capture attempt;
                if (starts < c.failures.size()) {
                    attempt.failedStep = "CreateProcessW";
                    attempt.startError = c.failures[starts];
                } else {
                    attempt.started = true;
                }
                ++starts;
                return attempt;
            },
            [&](const Capture& failed) { retried.push_back(failed.startError); });
        SCOPED_TRACE("first error " + std::to_string(c.failures.front()));
        EXPECT_EQ(run.started, c.started);
        EXPECT_EQ(starts, c.starts);
        // Each start made again is told once, with the error that caused it.
        EXPECT_EQ(retried,
                  std::vector<DWORD>(c.failures.begin(), c.failures.begin() + (c.starts - 1)));
    }
}

class Win32ProcessesWithBlanks : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = scratch_ / L"dir with blanks";
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        program_ = folder_ + L"\\win argv echo.exe";
        ASSERT_TRUE(CopyFileW(helperPath().c_str(), program_.c_str(), TRUE));
    }

    winetest::ScratchFolder scratch_;
    std::wstring folder_;
    std::wstring program_;
};

TEST_F(Win32ProcessesWithBlanks, AQuotedPathRunsAndTheArgumentsArriveAsGiven) {
    const Capture run = runToEnd(L"\"" + program_ + L"\" args \"two words\" \"\" plain");
    ASSERT_TRUE(run.started);
    const std::string path(program_.begin(), program_.end()); // ASCII only
    EXPECT_EQ(run.output, "argc=5\n"
                          "argv[0]=" +
                              std::to_string(path.size()) + ":" + path +
                              "\n"
                              "argv[1]=4:args\n"
                              "argv[2]=9:two words\n"
                              "argv[3]=0:\n"
                              "argv[4]=5:plain\n");
}

TEST_F(Win32ProcessesWithBlanks, AnUnquotedPathStillFindsTheProgram) {
    // The service's own command lines are unquoted; CreateProcessW tries the blanks in turn.
    // How the child then splits its program name differs (Wine quotes it), so only the last
    // argument is checked.
    const Capture run = runToEnd(program_ + L" args");
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.output.ends_with("=4:args\n")) << run.output;
}

// The number of handles this process holds. Wine's GetProcessHandleCount always says 0, so
// then the system-wide handle list is counted instead.
DWORD openHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) {
        return count;
    }
    struct HandleEntry {
        ULONG ownerProcessId;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ACCESS_MASK access;
    };
    struct HandleList {
        ULONG count;
        HandleEntry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return 0;
    }
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<char> buffer(1 << 16);
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), nullptr)) == kInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status < 0) {
        return 0;
    }
    const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
    count = 0;
    for (ULONG i = 0; i < list->count; ++i) {
        if (list->entries[i].ownerProcessId == GetCurrentProcessId()) {
            ++count;
        }
    }
    return count;
}

// Wine, not Windows: with the kernel's address-space randomisation a Wine process fails to start
// about once in 4,000 ("failed to map the shared user data"), so scripts/wine-run starts Wine
// without it. Each Wine process shows the kernel's setting as Z:\proc\self\personality; this one
// and a child that it starts as the engine starts its tool must both have kept it.
TEST(WineStarts, TheTestsAndTheirChildrenRunWithoutAddressRandomisation) {
    constexpr unsigned long noRandomisation = 0x0040000;
    const wchar_t* const personality = L"Z:\\proc\\self\\personality";
    std::string own(32, '\0');
    HANDLE file = CreateFileW(personality, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, own.data(), static_cast<DWORD>(own.size()), &read, nullptr));
    CloseHandle(file);
    own.resize(read);
    EXPECT_NE(std::stoul(own, nullptr, 16) & noRandomisation, 0u) << own;

    const Capture child = runToEnd(L"cmd.exe /c type " + std::wstring(personality));
    ASSERT_TRUE(child.ended) << child.output;
    EXPECT_NE(std::stoul(child.output, nullptr, 16) & noRandomisation, 0u) << child.output;
}

TEST(Win32Processes, ManyRunsLeaveNoHandlesBehind) {
    // One run first, so that whatever the first start sets up once is not counted.
    runToEnd(helperCommand(L"out warm"));
    const DWORD before = openHandleCount();
    for (int i = 0; i < 30; ++i) {
        // A start that fails for a shortage and is made again must leave no handle either.
        const Capture run = runToEnd(helperCommand(L"out x"));
        ASSERT_TRUE(run.started) << run.failedStep << ", error " << run.startError;
        ASSERT_TRUE(run.ended);
    }
    for (int i = 0; i < 10; ++i) {
        auto pipe = systemProcesses().createPipe();
        ASSERT_TRUE(pipe);
        std::wstring commandLine = helperCommand(L"sleep 30000");
        auto child = systemProcesses().startProcess(commandLine, pipe->write);
        ASSERT_TRUE(child);
        child.terminate();
    }
    const DWORD after = openHandleCount();
    ASSERT_GT(before, 0u) << "no handle count to compare";
    // A little slack for handles the system opens on its own.
    EXPECT_LE(after, before + 3);
}

} // namespace
} // namespace tarn::platform
