#include "ProcessWait.h"

#include "platform/win32/UniqueHandles.h"

#include <optional>
// After windows.h:
#include <tlhelp32.h>

namespace tarn::packaging {
namespace {

using platform::win32::UniqueHandle;

// A snapshot fails now and then while processes start and end (ERROR_BAD_LENGTH); one that keeps
// failing fails the wait.
constexpr int kSnapshotAttempts = 5;
constexpr DWORD kSnapshotRetryMs = 100;

bool samePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// A running process whose image is the file at PATH, an empty handle when there is none, nothing
// when the processes could not be listed. An ended process can stay listed for a moment, and is
// passed over.
std::optional<UniqueHandle> findProcessOf(const std::wstring& path,
                                          const ProcessSnapshot& takeSnapshot) {
    const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    const UniqueHandle snapshot(takeSnapshot());
    if (!snapshot) {
        return std::nullopt;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (!samePath(entry.szExeFile, name)) {
            continue;
        }
        UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                         entry.th32ProcessID));
        if (!process) {
            continue; // ended since the snapshot
        }
        wchar_t image[MAX_PATH];
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
            samePath(std::wstring(image, size), path) &&
            WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            return process;
        }
    }
    return UniqueHandle();
}

} // namespace

HANDLE snapshotOfProcesses() {
    return CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
}

WaitOutcome waitUntilNoProcessRuns(const std::wstring& path, DWORD limitMs,
                                   const std::function<void(DWORD processId)>& waiting,
                                   const ProcessSnapshot& snapshot) {
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    int failedSnapshots = 0;
    for (;;) {
        const std::optional<UniqueHandle> process = findProcessOf(path, snapshot);
        if (!process) {
            if (++failedSnapshots == kSnapshotAttempts) {
                return WaitOutcome::unknown;
            }
            Sleep(kSnapshotRetryMs);
            continue;
        }
        if (!*process) {
            return WaitOutcome::ended;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return WaitOutcome::stillRuns;
        }
        waiting(GetProcessId(process->get()));
        WaitForSingleObject(process->get(), static_cast<DWORD>(deadline - now));
    }
}

} // namespace tarn::packaging
