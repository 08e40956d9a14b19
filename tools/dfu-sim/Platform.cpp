// The few operating-system bits: program entry, own location, text encoding, child processes.
#include "Sim.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include "portable/Utf8.h"
#include "portable/WindowsCommandLine.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include "platform/standin/SysRoot.h"
#include "portable/Utf8.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tarn::sim {

#ifdef _WIN32

using portable::fromUtf8;
using portable::toUtf8;

std::filesystem::path executableDirectory() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    return std::filesystem::path(buffer).parent_path();
}

std::filesystem::path pathFromUtf8(const std::string& text) {
    return fromUtf8(text);
}
std::string pathToUtf8(const std::filesystem::path& path) {
    return toUtf8(path.wstring());
}

std::string environment(const char* name) {
    const wchar_t* value = _wgetenv(fromUtf8(name).c_str());
    return value ? toUtf8(value) : std::string();
}

std::string consoleText(const std::string& utf8) {
    const std::wstring wide = fromUtf8(utf8);
    if (wide.empty())
        return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

void releaseStandardStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    // Both streams are often one pipe handle; close it once. Nothing is written afterwards.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    if (err && err != INVALID_HANDLE_VALUE && err != out)
        CloseHandle(err);
    SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
    SetStdHandle(STD_ERROR_HANDLE, INVALID_HANDLE_VALUE);
}

namespace {

// What cmd reads in a command line besides blanks and quotes: an interface name holds "&", and a
// batch file's arguments are also split at commas, semicolons and equals signs.
constexpr wchar_t kCmdSpecials[] = L"&|<>^()%!,;=";

} // namespace

void runCommand(const std::string& commandLine, const std::vector<std::string>& arguments) {
    std::wstring line = fromUtf8(commandLine);
    for (const auto& arg : arguments)
        line += L" " + portable::quoteArgument(fromUtf8(arg), kCmdSpecials);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process))
        return;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

void dieAbruptly() {
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 0xC0000005);
    std::abort();
}

} // namespace tarn::sim

int wmain(int argc, wchar_t** argv) {
    // Line ends exactly as written: a "\r\n" is a fault to be asked for, not a side effect.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(tarn::portable::toUtf8(argv[i]));
    const int code = tarn::sim::simMain(args);
    std::fflush(stdout);
    return code;
}

#else

std::filesystem::path executableDirectory() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

std::filesystem::path pathFromUtf8(const std::string& text) {
    // The service names files by their Windows paths; on the stand-in those live below
    // TARN_SYSROOT, as they would on the real system drive.
    if (text.size() >= 2 && text[1] == ':') {
        if (auto host = tarn::platform::standin::toHostPath(tarn::portable::fromUtf8(text))) {
            return *host;
        }
    }
    return text;
}
std::string pathToUtf8(const std::filesystem::path& path) {
    return path.string();
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string consoleText(const std::string& utf8) {
    return utf8;
}

void releaseStandardStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    } else {
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
    }
}

void runCommand(const std::string& commandLine, const std::vector<std::string>& arguments) {
    // The command is shell text; the appended arguments stay exactly as they are.
    const std::string script = commandLine + " \"$@\"";
    std::vector<const char*> argv = {"/bin/sh", "-c", script.c_str(), "sh"};
    for (const auto& arg : arguments)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        execv("/bin/sh", const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    if (child > 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void dieAbruptly() {
    std::fflush(stdout);
    std::fflush(stderr);
    std::raise(SIGKILL);
    std::abort();
}

} // namespace tarn::sim

int main(int argc, char** argv) {
    const int code = tarn::sim::simMain(std::vector<std::string>(argv + 1, argv + argc));
    std::fflush(stdout);
    return code;
}

#endif
