// The installer's wait for the service's process, against real processes under Wine. The test
// program is its own child: started with "child STOPFILE" it runs until STOPFILE exists.
#include "ProcessWait.h"

#include "WineSupport.h"
#include "platform/win32/UniqueHandles.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

namespace {

using tarn::packaging::ServiceProcess;
using tarn::packaging::waitForProcess;
using tarn::packaging::WaitOutcome;
using tarn::platform::win32::UniqueHandle;
using tarn::winetest::ScratchFolder;

std::wstring selfPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

ULONGLONG now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

class ProcessWaitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW((folder_ / L"a").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((folder_ / L"b").c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(selfPath().c_str(), exeA().c_str(), TRUE));
        ASSERT_TRUE(CopyFileW(selfPath().c_str(), exeB().c_str(), TRUE));
    }
    void TearDown() override {
        for (std::size_t i = 0; i < children_.size(); ++i) {
            stop(i);
        }
        for (const auto& child : children_) {
            WaitForSingleObject(child.get(), 10000);
        }
        children_.clear();
    }

    std::wstring exeA() const { return folder_ / L"a\\Tarn Target.exe"; }
    std::wstring exeB() const { return folder_ / L"b\\Tarn Target.exe"; }
    std::wstring stopFile(std::size_t child) const {
        return folder_ / (L"stop-" + std::to_wstring(child));
    }

    void stop(std::size_t child) const {
        const UniqueHandle file(CreateFileW(stopFile(child).c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    // Starts a child from EXE; returns it as the Service Control Manager would name it now.
    ServiceProcess start(const std::wstring& exe) {
        std::wstring line = L"\"" + exe + L"\" child \"" + stopFile(children_.size()) + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        EXPECT_TRUE(CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process));
        CloseHandle(process.hThread);
        children_.emplace_back(process.hProcess);
        return {process.dwProcessId, now()};
    }

    bool running(std::size_t child) const {
        return WaitForSingleObject(children_[child].get(), 0) == WAIT_TIMEOUT;
    }

    // Removed when the fixture goes, after TearDown has waited for the children run from it.
    ScratchFolder folder_;
    std::vector<UniqueHandle> children_;
};

// Another process of the same file, as anyone may start it, is not waited for.
TEST_F(ProcessWaitTest, WaitsForTheNamedProcessAlone) {
    const ServiceProcess service = start(exeA());
    start(exeA());
    std::vector<DWORD> waitedFor;
    // Whatever the letter case of the path asked for.
    std::wstring asked = exeA();
    CharUpperW(asked.data());
    const WaitOutcome outcome = waitForProcess(service, asked, 30000, [&](DWORD id) {
        waitedFor.push_back(id);
        // Only now may it end: the wait found it running.
        stop(0);
    });
    EXPECT_EQ(outcome, WaitOutcome::ended);
    EXPECT_EQ(waitedFor, std::vector<DWORD>{service.id});
    EXPECT_FALSE(running(0));
    EXPECT_TRUE(running(1));
}

TEST_F(ProcessWaitTest, GivesUpAtTheLimitWhileTheProcessStillRuns) {
    const ServiceProcess service = start(exeA());
    int calls = 0;
    EXPECT_EQ(waitForProcess(service, exeA(), 200, [&](DWORD) { ++calls; }),
              WaitOutcome::stillRuns);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(running(0));
}

// What holds the ID when the wait begins may be another process: one started after the ID was
// named, or one of another file. Neither is waited for; nor is a service that had no process.
TEST_F(ProcessWaitTest, AnIdThatNamesAnotherProcessIsNotWaitedFor) {
    const ULONGLONG before = now();
    const ServiceProcess later = start(exeA());
    const ServiceProcess other = start(exeB());
    int calls = 0;
    const auto count = [&](DWORD) { ++calls; };
    EXPECT_EQ(waitForProcess({later.id, before}, exeA(), 30000, count), WaitOutcome::ended);
    EXPECT_EQ(waitForProcess(other, exeA(), 30000, count), WaitOutcome::ended);
    EXPECT_EQ(waitForProcess({0, now()}, exeA(), 30000, count), WaitOutcome::ended);
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(running(0));
    EXPECT_TRUE(running(1));
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
