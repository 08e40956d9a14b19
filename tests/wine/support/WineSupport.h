// What the Windows-build tests share: a clock that skips the fixed waits, the real service
// directory of the prefix with the simulator in it, a scratch folder, ways to run a program and
// keep its output, and waiting for a condition.
#pragma once

#include "platform/Clock.h"
#include "platform/Processes.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>
#include <windows.h>

namespace tarn::winetest {

// Sleeps only move its time on, so the 3000, 5000 and 200000 ms waits cost nothing; now()
// still follows real time, so that the runner's bounds measure what the child really takes.
class FastClock final : public platform::Clock {
public:
    void sleep(Duration duration) override {
        skipped_ += duration.count();
        total_ += duration.count();
        // Let the child run a little between two reads, as a real pause would.
        Sleep(0);
    }
    Duration now() override {
        const auto real = std::chrono::duration_cast<Duration>(
            std::chrono::steady_clock::now().time_since_epoch());
        return real + Duration(skipped_.load());
    }
    std::chrono::sys_seconds utcNow() override {
        return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    }
    // Everything asked of sleep() so far.
    Duration slept() const { return Duration(total_.load()); }

private:
    std::atomic<long long> skipped_{0};
    std::atomic<long long> total_{0};
};

inline std::wstring widen(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

// A build path (a Unix path) as Wine shows it: the Z: drive maps the whole file system.
inline std::wstring windowsPathOf(std::string_view unixPath) {
    std::wstring path = L"Z:" + widen(unixPath);
    for (auto& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

struct RunResult {
    bool started = false;
    DWORD exitCode = 0;
    std::string output; // standard output and standard error together
};

// Runs a command line to its end (or kills it after `limit`) and keeps what it printed.
inline RunResult runProgram(std::wstring commandLine, DWORD limitMs = 30000) {
    RunResult run;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &attributes, 0)) {
        return run;
    }
    // Only the child may hold the read end's counterpart; ours must not be inherited.
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION info{};
    run.started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info) != FALSE;
    CloseHandle(writeEnd);
    if (run.started) {
        const ULONGLONG giveUp = GetTickCount64() + limitMs;
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) {
                break;
            }
            if (available == 0) {
                if (GetTickCount64() > giveUp) {
                    TerminateProcess(info.hProcess, 1);
                    break;
                }
                Sleep(5);
                continue;
            }
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (!ReadFile(readEnd, chunk.data(), available, &got, nullptr)) {
                break;
            }
            run.output.append(chunk.data(), got);
        }
        WaitForSingleObject(info.hProcess, limitMs);
        GetExitCodeProcess(info.hProcess, &run.exitCode);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    CloseHandle(readEnd);
    return run;
}

inline std::wstring quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// Polls `condition` until it holds (true) or `limitMs` pass (false). The limits callers give are
// far beyond what the condition needs: only a hang reaches them.
inline bool waitUntil(const std::function<bool()>& condition, DWORD limitMs = 60000) {
    const ULONGLONG giveUp = GetTickCount64() + limitMs;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (GetTickCount64() >= giveUp) {
            return false;
        }
        Sleep(10);
    }
}

// Waits until the Service Control Manager reports `state` for the service.
inline bool waitForServiceState(SC_HANDLE service, DWORD state, DWORD limitMs = 60000) {
    return waitUntil(
        [&] {
            SERVICE_STATUS status{};
            return QueryServiceStatus(service, &status) && status.dwCurrentState == state;
        },
        limitMs);
}

// Stops and deletes the service a run that was cut short left behind, if there is one.
inline void removeLeftoverService(SC_HANDLE manager, const wchar_t* name) {
    SC_HANDLE old = OpenServiceW(manager, name, SERVICE_STOP | DELETE | SERVICE_QUERY_STATUS);
    if (old != nullptr) {
        SERVICE_STATUS status{};
        ControlService(old, SERVICE_CONTROL_STOP, &status);
        waitForServiceState(old, SERVICE_STOPPED);
        DeleteService(old);
        CloseServiceHandle(old);
    }
}

// A fresh folder under the temporary folder, removed with everything in it at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        wchar_t base[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, base);
        static unsigned counter = 0;
        path_ = std::wstring(base) + L"tarn-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter) + L"\\";
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() { removeTree(path_); }

    // The folder's path, ending with a backslash.
    const std::wstring& path() const { return path_; }
    std::wstring operator/(std::wstring_view name) const { return path_ + std::wstring(name); }

private:
    static void removeTree(const std::wstring& folder) {
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW((folder + L"*").c_str(), &data);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") {
                    continue;
                }
                const std::wstring path = folder + name;
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    removeTree(path + L"\\");
                } else {
                    DeleteFileW(path.c_str());
                }
            } while (FindNextFileW(search, &data));
            FindClose(search);
        }
        RemoveDirectoryW(folder.c_str());
    }

    std::wstring path_;
};

// The service directory of the prefix, made for a test and removed with everything in it
// afterwards, together with the folders made for it.
class ServiceDirectory {
public:
    static constexpr wchar_t kPath[] = L"C:\\Program Files\\Vantor\\Tarn\\Services\\";

    ServiceDirectory() {
        for (const auto& folder : folders()) {
            CreateDirectoryW(folder.c_str(), nullptr);
        }
        clear();
    }
    ServiceDirectory(const ServiceDirectory&) = delete;
    ServiceDirectory& operator=(const ServiceDirectory&) = delete;
    ~ServiceDirectory() {
        clear();
        const auto all = folders();
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            RemoveDirectoryW(it->c_str());
        }
    }

    static std::wstring path(std::wstring_view name) { return kPath + std::wstring(name); }
    static std::wstring tool() { return path(L"dfu-util.exe"); }

    // The simulator as the tool the service runs.
    bool installSimulator(const std::wstring& simulator) const {
        return CopyFileW(simulator.c_str(), tool().c_str(), FALSE) != FALSE;
    }

    // The simulator's control command; its output, or nothing when it failed.
    static std::optional<std::string> sim(const std::wstring& arguments) {
        auto run = runProgram(quoted(tool()) + L" sim " + arguments);
        if (!run.started || run.exitCode != 0) {
            return std::nullopt;
        }
        return run.output;
    }
    static bool makePackage(const std::wstring& name, const std::wstring& version) {
        return sim(L"make-package " + quoted(path(name)) + L" --version " + version).has_value();
    }

    // The simulator's re-enumeration announcements so far, one "arrival|removal name" a line.
    // A line still being written (no line feed yet) is left for the next look.
    static std::vector<std::string> announcements() {
        std::ifstream in(path(L"tarn-dfu-sim.events").c_str(), std::ios::binary);
        std::ostringstream whole;
        whole << in.rdbuf();
        const std::string text = whole.str();
        std::vector<std::string> lines;
        std::size_t begin = 0;
        for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos;
             begin = end + 1) {
            std::string line = text.substr(begin, end - begin);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!line.empty()) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    static bool exists(const std::wstring& path) {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    // Empties the service directory.
    static void clear() {
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW(path(L"*").c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) {
            return;
        }
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") {
                SetFileAttributesW(path(name).c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path(name).c_str());
            }
        } while (FindNextFileW(search, &data));
        FindClose(search);
    }

private:
    static std::vector<std::wstring> folders() {
        return {L"C:\\Program Files\\Vantor", L"C:\\Program Files\\Vantor\\Tarn",
                L"C:\\Program Files\\Vantor\\Tarn\\Services"};
    }
};

} // namespace tarn::winetest
