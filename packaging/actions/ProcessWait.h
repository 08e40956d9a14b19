// Waiting for the service's own process to end: the one the Service Control Manager named while
// the service ran, and no other process, whoever started it from the same file.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <windows.h>

namespace tarn::packaging {

// A process as the Service Control Manager named it: its ID (0: the service had none) and the
// moment it was named, as a FILETIME count.
struct ServiceProcess {
    DWORD id = 0;
    ULONGLONG namedAt = 0;
};

// The process of the service NAME now; nothing when the Service Control Manager cannot say.
// Asks it to stop first when STOP is set; the process is read before.
std::optional<ServiceProcess> serviceProcess(const wchar_t* name, bool stop = false);

enum class WaitOutcome {
    ended,     // the process has ended, or its ID now names another process
    stillRuns, // it still ran at the limit
    unknown,   // it could not be examined: that proves nothing
};

// Waits at most LIMIT milliseconds until PROCESS has ended; calls WAITING with its ID when it
// has to wait. A process that holds the ID but started after it was named, or runs another
// image than PATH (a full path, compared without regard to case), is not the service's.
WaitOutcome waitForProcess(const ServiceProcess& process, const std::wstring& path, DWORD limitMs,
                           const std::function<void(DWORD processId)>& waiting);

} // namespace tarn::packaging
