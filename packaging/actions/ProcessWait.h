// Waiting until no process runs a given executable.
#pragma once

#include <functional>
#include <string>
#include <windows.h>

namespace tarn::packaging {

// Takes a snapshot of the running processes, as CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS)
// does; null or INVALID_HANDLE_VALUE when it fails. The tests give failing ones.
using ProcessSnapshot = std::function<HANDLE()>;
HANDLE snapshotOfProcesses();

enum class WaitOutcome {
    ended,     // no process runs the executable
    stillRuns, // one still ran at the limit
    unknown,   // the processes could not be listed: that proves nothing about them
};

// Waits until no process runs the executable at PATH (a full path, compared without regard to
// case), at most LIMIT milliseconds; calls WAITING with the ID of each process it waits for.
WaitOutcome waitUntilNoProcessRuns(const std::wstring& path, DWORD limitMs,
                                   const std::function<void(DWORD processId)>& waiting,
                                   const ProcessSnapshot& snapshot = snapshotOfProcesses);

} // namespace tarn::packaging
