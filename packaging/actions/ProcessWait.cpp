#include "ProcessWait.h"

#include "platform/win32/UniqueHandles.h"

// After windows.h:
#include <tlhelp32.h>

namespace tarn::packaging {
namespace {

using platform::win32::UniqueHandle;

bool samePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// A running process whose image is the file at PATH, or none. An ended process can stay listed
// for a moment, and is passed over.
UniqueHandle findProcessOf(const std::wstring& path) {
    const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return {};
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
    return {};
}

} // namespace

bool waitUntilNoProcessRuns(const std::wstring& path, DWORD limitMs,
                            const std::function<void(DWORD processId)>& waiting) {
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    while (const UniqueHandle process = findProcessOf(path)) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        waiting(GetProcessId(process.get()));
        WaitForSingleObject(process.get(), static_cast<DWORD>(deadline - now));
    }
    return true;
}

} // namespace tarn::packaging
