// The service test's own small Windows program, with four roles:
//   wait READY STOP create READY, then stay alive until STOP exists (at most ten minutes): the
//                   Wine session's first process, whose standard error receives what the
//                   services that Wine starts print
//   spawn CMDLINE   run CMDLINE through CreateProcessW, wait for it and print "exit CODE" with all
//                   32 bits of its exit code (Wine's own exit status keeps only 8)
//   hold CMDLINE READY STOP
//                   start CMDLINE suspended, print its process ID, create READY, and end it once
//                   STOP exists: a process of any program that stays until the test lets it go
//   control NAME CODE
//                   send control CODE to the service NAME with ControlService, for the controls
//                   that Wine's sc does not offer; prints "ok STATE" or "error CODE"
//   (anything else) leave a marker file: planted as "C:\Program.exe", it shows whether an
//                   unquoted path under "C:\Program Files" was started through it
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <windows.h>

namespace {

constexpr wchar_t kMarker[] = L"C:\\tarn-planted-program-ran.txt";
constexpr DWORD kPollMs = 100;
constexpr DWORD kWaitLimitMs = 600000;

int waitFor(const wchar_t* ready, const wchar_t* path) {
    const HANDLE file = CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 2;
    }
    CloseHandle(file);
    for (DWORD waited = 0; waited < kWaitLimitMs; waited += kPollMs) {
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
            return 0;
        }
        Sleep(kPollMs);
    }
    return 1;
}

int spawn(const wchar_t* commandLine) {
    std::wstring line = commandLine; // CreateProcessW may write into its command line
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::printf("CreateProcessW error %lu\n", GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 3;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("exit %lu\n", code);
    return 0;
}

int hold(const wchar_t* commandLine, const wchar_t* ready, const wchar_t* stop) {
    std::wstring line = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &process)) {
        std::printf("CreateProcessW error %lu\n", GetLastError());
        return 2;
    }
    std::printf("%lu\n", process.dwProcessId);
    std::fflush(stdout);
    const int result = waitFor(ready, stop);
    TerminateProcess(process.hProcess, 0);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

int control(const wchar_t* name, const wchar_t* code) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        std::printf("error %lu\n", GetLastError());
        return 1;
    }
    const DWORD access = SERVICE_INTERROGATE | SERVICE_PAUSE_CONTINUE | SERVICE_STOP |
                         SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS;
    const SC_HANDLE service = OpenServiceW(manager, name, access);
    int result = 1;
    if (service == nullptr) {
        std::printf("error %lu\n", GetLastError());
    } else {
        SERVICE_STATUS status{};
        if (ControlService(service, std::wcstoul(code, nullptr, 10), &status)) {
            std::printf("ok %lu\n", status.dwCurrentState);
            result = 0;
        } else {
            std::printf("error %lu\n", GetLastError());
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

int leaveMarker() {
    const HANDLE file = CreateFileW(kMarker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 4;
    }
    // The command line it was given, for whoever reads the marker.
    const std::wstring_view text = GetCommandLineW();
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written,
              nullptr);
    CloseHandle(file);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring_view role = argc > 1 ? argv[1] : L"";
    if (argc == 4 && role == L"wait") {
        return waitFor(argv[2], argv[3]);
    }
    if (argc == 3 && role == L"spawn") {
        return spawn(argv[2]);
    }
    if (argc == 5 && role == L"hold") {
        return hold(argv[2], argv[3], argv[4]);
    }
    if (argc == 4 && role == L"control") {
        return control(argv[2], argv[3]);
    }
    return leaveMarker();
}
