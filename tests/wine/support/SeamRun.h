// A run of a command line through the platform seam, as the engine starts its tool, for the
// Windows-build tests that check what the child received; and the one kind of failed start that
// such a test starts once more.
#pragma once

#include "platform/Processes.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <string>
#include <windows.h>

namespace tarn::winetest {

struct SeamRun {
    bool started = false;
    const char* failedStep = nullptr; // "CreatePipe" or "CreateProcessW" when it did not start
    DWORD startError = 0;             // GetLastError of that step
    bool ended = false;               // the pipe ended before the limit
    bool readsFit = true;             // no read returned more than its buffer holds
    std::string output;
};

// Starts a command line through the platform seam (CreateProcessW as the engine calls it) on a
// fresh pipe and reads until the pipe ends, as the engine does; a child still writing after
// `limit` is ended, so that a broken read cannot hang the whole suite.
inline SeamRun runThroughSeamOnce(std::wstring commandLine, std::chrono::milliseconds limit) {
    SeamRun run;
    auto& processes = platform::systemProcesses();
    auto pipe = processes.createPipe();
    if (!pipe) {
        run.failedStep = "CreatePipe";
        run.startError = GetLastError();
        return run;
    }
    auto child = processes.startProcess(commandLine, pipe->write);
    if (!child) {
        run.failedStep = "CreateProcessW";
        run.startError = GetLastError();
        return run;
    }
    run.started = true;
    // Our copy of the write end would keep the pipe open after the child has gone.
    pipe->write.reset();
    std::array<char, 4095> buffer{};
    const ULONGLONG giveUp = GetTickCount64() + static_cast<ULONGLONG>(limit.count());
    while (GetTickCount64() < giveUp) {
        const auto result = pipe->read.read(buffer, std::chrono::milliseconds(100));
        if (result.status == platform::PipeReadEnd::Status::Ended) {
            run.ended = true;
            break;
        }
        run.readsFit = run.readsFit && result.bytes <= buffer.size();
        run.output.append(buffer.data(), std::min(result.bytes, buffer.size()));
    }
    if (!run.ended) {
        child.terminate();
    }
    return run;
}

// The errors by which Windows, and Wine in its place, say that memory or system resources ran
// short. Two starts have failed under Wine, in different tests, before the helper recorded the
// error (some 23,000 starts made to reproduce it all succeeded), so which error that was is not
// known. A shortage is the one cause that is neither ours nor lasting; a fault of ours in a
// command line, a path or a handle gives other errors (file not found, invalid parameter,
// invalid handle) on every try, and the product does not retry either. Wine's own failure to lay
// out a new process ("failed to map the shared user data") fails CreateProcessW with
// ERROR_INTERNAL_ERROR; scripts/wine-run prevents it instead.
inline bool isResourceShortage(DWORD error) {
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
           error == ERROR_NO_SYSTEM_RESOURCES;
}

// Runs `once`; a start that failed for a shortage is run once more, after `onRetry` is told of
// the failure. Any other failed start is returned as it is, to fail the test.
inline SeamRun retryingAShortage(const std::function<SeamRun()>& once,
                                 const std::function<void(const SeamRun& failed)>& onRetry) {
    SeamRun run = once();
    if (!run.started && isResourceShortage(run.startError)) {
        onRetry(run);
        run = once();
    }
    return run;
}

// A retry goes to the test's log and, as a property "start_retry_N", into its results, where the
// test command counts it (scripts/test-results.py): a passing test still shows it.
inline void recordStartRetry(const SeamRun& failed) {
    static std::atomic<int> retries{0};
    const std::string what =
        std::string(failed.failedStep) + " error " + std::to_string(failed.startError);
    std::cerr << "the start failed in " << what << "; starting once more\n";
    ::testing::Test::RecordProperty("start_retry_" + std::to_string(++retries), what);
}

inline SeamRun runThroughSeam(std::wstring commandLine,
                              std::chrono::milliseconds limit = std::chrono::minutes(1)) {
    return retryingAShortage([&] { return runThroughSeamOnce(commandLine, limit); },
                             recordStartRetry);
}

} // namespace tarn::winetest
