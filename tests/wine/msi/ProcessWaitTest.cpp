// The installer's wait for the service's processes to end, against real processes under Wine.
// The test program is its own child: started with "child STOPFILE" it runs until STOPFILE exists.
#include "ProcessWait.h"

#include "WineSupport.h"
#include "platform/win32/UniqueHandles.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>
#include <windows.h>

namespace {

using tarn::packaging::WaitOutcome;
using tarn::packaging::waitUntilNoProcessRuns;
using tarn::platform::win32::UniqueHandle;
using tarn::winetest::ScratchFolder;

std::wstring selfPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

class ProcessWaitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW((folder_ / L"a").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((folder_ / L"b").c_str(), nullptr));
        // The same file name in two folders: only the one asked for counts.
        ASSERT_TRUE(CopyFileW(selfPath().c_str(), exeA().c_str(), TRUE));
        ASSERT_TRUE(CopyFileW(selfPath().c_str(), exeB().c_str(), TRUE));
    }
    void TearDown() override {
        stop(exeA());
        stop(exeB());
        for (const auto& child : children_) {
            WaitForSingleObject(child.get(), 10000);
        }
        children_.clear();
    }

    std::wstring exeA() const { return folder_ / L"a\\Tarn Target.exe"; }
    std::wstring exeB() const { return folder_ / L"b\\Tarn Target.exe"; }
    static std::wstring stopFileOf(const std::wstring& exe) { return exe + L".stop"; }

    static void stop(const std::wstring& exe) {
        const UniqueHandle file(CreateFileW(stopFileOf(exe).c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    // Starts a child from EXE; returns its handle, which the fixture also keeps.
    HANDLE start(const std::wstring& exe) {
        std::wstring line = L"\"" + exe + L"\" child \"" + stopFileOf(exe) + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        EXPECT_TRUE(CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process));
        CloseHandle(process.hThread);
        children_.emplace_back(process.hProcess);
        return process.hProcess;
    }

    static bool running(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

    // Removed when the fixture goes, after TearDown has waited for the children run from it.
    ScratchFolder folder_;
    std::vector<UniqueHandle> children_;
};

TEST_F(ProcessWaitTest, ReturnsAtOnceWhenNoProcessRunsTheExecutable) {
    const HANDLE other = start(exeB());
    std::vector<DWORD> waitedFor;
    EXPECT_EQ(waitUntilNoProcessRuns(exeA(), 30000, [&](DWORD id) { waitedFor.push_back(id); }),
              WaitOutcome::ended);
    EXPECT_TRUE(waitedFor.empty());
    EXPECT_TRUE(running(other));
}

TEST_F(ProcessWaitTest, WaitsForEveryProcessOfTheExecutableAndOnlyForThem) {
    const HANDLE first = start(exeA());
    const HANDLE second = start(exeA());
    const HANDLE other = start(exeB());
    const std::set<DWORD> ours = {GetProcessId(first), GetProcessId(second)};
    std::vector<DWORD> waitedFor;
    // Whatever the letter case of the path asked for.
    std::wstring asked = exeA();
    CharUpperW(asked.data());
    const WaitOutcome outcome = waitUntilNoProcessRuns(asked, 30000, [&](DWORD id) {
        waitedFor.push_back(id);
        // Only now may the processes end: the wait found them running.
        stop(exeA());
    });
    EXPECT_EQ(outcome, WaitOutcome::ended);
    EXPECT_FALSE(running(first));
    EXPECT_FALSE(running(second));
    EXPECT_TRUE(running(other));
    ASSERT_FALSE(waitedFor.empty());
    EXPECT_LE(waitedFor.size(), 2u);
    for (const DWORD id : waitedFor) {
        EXPECT_TRUE(ours.count(id)) << "waited for process " << id;
    }
}

TEST_F(ProcessWaitTest, GivesUpAtTheLimitWhileAProcessStillRuns) {
    const HANDLE child = start(exeA());
    int calls = 0;
    EXPECT_EQ(waitUntilNoProcessRuns(exeA(), 200, [&](DWORD) { ++calls; }), WaitOutcome::stillRuns);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(running(child));
}

// A snapshot that fails is taken again; one that keeps failing is no proof that nothing runs.
TEST_F(ProcessWaitTest, RetriesAFailedSnapshotAndFailsWhenItKeepsFailing) {
    const HANDLE child = start(exeA());
    int snapshots = 0;
    const auto failingTwice = [&]() -> HANDLE {
        return ++snapshots <= 2 ? INVALID_HANDLE_VALUE : tarn::packaging::snapshotOfProcesses();
    };
    EXPECT_EQ(waitUntilNoProcessRuns(
                  exeA(), 30000, [&](DWORD) { stop(exeA()); }, failingTwice),
              WaitOutcome::ended);
    EXPECT_EQ(snapshots, 4); // two failures, the process found, then gone
    EXPECT_FALSE(running(child));

    snapshots = 0;
    const auto failing = [&]() -> HANDLE {
        ++snapshots;
        return INVALID_HANDLE_VALUE;
    };
    EXPECT_EQ(waitUntilNoProcessRuns(
                  exeA(), 30000, [](DWORD) {}, failing),
              WaitOutcome::unknown);
    EXPECT_EQ(snapshots, 5);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"child") {
        // At most a minute, so that a failed test leaves nothing behind for long.
        for (int i = 0; i < 600 && GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i) {
            Sleep(100);
        }
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
