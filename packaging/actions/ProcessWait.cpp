#include "ProcessWait.h"

#include "platform/win32/UniqueHandles.h"

namespace tarn::packaging {
namespace {

using platform::win32::UniqueHandle;
using platform::win32::UniqueServiceHandle;

ULONGLONG ticks(const FILETIME& time) {
    return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

ULONGLONG now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return ticks(time);
}

bool samePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

std::optional<ServiceProcess> serviceProcess(const wchar_t* name, bool stop) {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return std::nullopt;
    }
    const UniqueServiceHandle service(
        OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS | (stop ? SERVICE_STOP : 0)));
    if (!service) {
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST
                   ? std::optional<ServiceProcess>(ServiceProcess{0, now()})
                   : std::nullopt;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    // Taken before the query: a process started after this moment is another one.
    const ULONGLONG namedAt = now();
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &size)) {
        return std::nullopt;
    }
    if (stop && status.dwCurrentState == SERVICE_RUNNING) {
        SERVICE_STATUS ignored;
        ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
    }
    return ServiceProcess{status.dwProcessId, namedAt};
}

WaitOutcome waitForProcess(const ServiceProcess& named, const std::wstring& path, DWORD limitMs,
                           const std::function<void(DWORD processId)>& waiting) {
    if (named.id == 0) {
        return WaitOutcome::ended;
    }
    const UniqueHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, named.id));
    if (!process) {
        // An ID names its process until the last handle to it is closed; then it names none.
        return GetLastError() == ERROR_INVALID_PARAMETER ? WaitOutcome::ended
                                                         : WaitOutcome::unknown;
    }
    if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
        return WaitOutcome::ended;
    }
    FILETIME created, exited, kernel, user;
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user) ||
        !QueryFullProcessImageNameW(process.get(), 0, image, &size)) {
        return WaitOutcome::unknown;
    }
    if (ticks(created) > named.namedAt || !samePath(std::wstring(image, size), path)) {
        return WaitOutcome::ended;
    }
    waiting(named.id);
    return WaitForSingleObject(process.get(), limitMs) == WAIT_OBJECT_0 ? WaitOutcome::ended
                                                                        : WaitOutcome::stillRuns;
}

} // namespace tarn::packaging
