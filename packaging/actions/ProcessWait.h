// Waiting until no process runs a given executable.
#pragma once

#include <functional>
#include <string>
#include <windows.h>

namespace tarn::packaging {

// Waits until no process runs the executable at PATH (a full path, compared without regard to
// case), at most LIMIT milliseconds; calls WAITING with the ID of each process it waits for.
// False when such a process still runs at the limit.
bool waitUntilNoProcessRuns(const std::wstring& path, DWORD limitMs,
                            const std::function<void(DWORD processId)>& waiting);

} // namespace tarn::packaging
