// The stand-in's child processes and pipes: posix_spawn and pipe2 with the meaning of
// CreateProcessW and CreatePipe.
#include "platform/Processes.h"
#include "platform/standin/SysRoot.h"
#include "platform/standin/UniqueFd.h"
#include "portable/Utf8.h"
#include "portable/WindowsCommandLine.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tarn::platform {
namespace {

using standin::UniqueFd;

int descriptor(std::uintptr_t value) {
    return static_cast<int>(value);
}

class Utf8OutputDecoder final : public OutputDecoder {
public:
    std::wstring decode(std::string_view bytes) override { return decoder_.decode(bytes); }
    std::wstring finish() override { return decoder_.finish(); }

private:
    portable::Utf8Decoder decoder_;
};

// Children whose handle is gone before they exited: reaped at the next start or destruction,
// so that none stays a zombie and no thread waits for any.
class Reaper {
public:
    void adopt(pid_t pid) {
        std::lock_guard lock(mutex_);
        if (::waitpid(pid, nullptr, WNOHANG) == 0) {
            pending_.push_back(pid);
        }
        sweepLocked();
    }

    void sweep() {
        std::lock_guard lock(mutex_);
        sweepLocked();
    }

private:
    void sweepLocked() {
        std::erase_if(pending_, [](pid_t pid) {
            const pid_t result = ::waitpid(pid, nullptr, WNOHANG);
            // 0: still running. -1 (ECHILD): someone else reaped it; nothing left to do.
            return result != 0;
        });
    }

    std::mutex mutex_;
    std::vector<pid_t> pending_;
};

Reaper& reaper() {
    static Reaper instance;
    return instance;
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// The program that CreateProcessW runs when it gets no application name: a quoted name is
// taken as it is; an unquoted one that holds blanks is tried at each blank in turn, shortest
// first ("C:\Program Files\x" is first tried as "C:\Program"). Windows then adds ".exe" to
// a name without extension; stand-in programs have none, so the name is used as written.
std::optional<std::string> findProgram(std::wstring_view commandLine) {
    std::vector<std::wstring_view> candidates;
    if (!commandLine.empty() && commandLine.front() == L'"') {
        const auto close = commandLine.find(L'"', 1);
        candidates.push_back(commandLine.substr(
            1, close == std::wstring_view::npos ? std::wstring_view::npos : close - 1));
    } else {
        std::size_t end = 0;
        while (true) {
            end = commandLine.find_first_of(L" \t", end);
            candidates.push_back(commandLine.substr(0, end));
            if (end == std::wstring_view::npos) {
                break;
            }
            ++end;
        }
    }
    for (const auto candidate : candidates) {
        if (candidate.empty()) {
            continue;
        }
        const auto host = standin::toHostPath(candidate);
        if (host && isExecutableFile(host->string())) {
            return host->string();
        }
    }
    return std::nullopt;
}

// Owners of posix_spawn's attribute and file-action records.
struct SpawnFileActions {
    SpawnFileActions() { ok = ::posix_spawn_file_actions_init(&actions) == 0; }
    ~SpawnFileActions() {
        if (ok) {
            ::posix_spawn_file_actions_destroy(&actions);
        }
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t actions;
    bool ok;
};

struct SpawnAttributes {
    SpawnAttributes() { ok = ::posix_spawnattr_init(&attributes) == 0; }
    ~SpawnAttributes() {
        if (ok) {
            ::posix_spawnattr_destroy(&attributes);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t attributes;
    bool ok;
};

class StandinProcesses final : public Processes {
public:
    StandinProcesses() {
        // A Windows child gets no signal when the reader of its output goes away; its write
        // just fails. Ignoring SIGPIPE here gives children the same: an ignored disposition
        // survives exec, whereas a blocked mask could be undone by the child and would leave
        // the signal pending. The service itself then also sees EPIPE instead of dying.
        ::signal(SIGPIPE, SIG_IGN);
    }

    std::optional<Pipe> createPipe() override {
        int fds[2];
        // Close-on-exec: only the write end that a start hands over reaches a child.
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return std::nullopt;
        }
        return Pipe{{*this, static_cast<std::uintptr_t>(fds[0])},
                    {*this, static_cast<std::uintptr_t>(fds[1])}};
    }

    ChildProcess startProcess(std::wstring& commandLine, const PipeWriteEnd& output) override {
        reaper().sweep();
        if (!output.openedBy(*this)) {
            return {};
        }
        const auto program = findProgram(commandLine);
        if (!program) {
            return {};
        }
        // The child sees the arguments that its C runtime would split from the command line.
        std::vector<std::string> arguments;
        for (const auto& argument : portable::splitWindowsCommandLine(commandLine)) {
            arguments.push_back(portable::toUtf8(argument));
        }
        if (arguments.empty()) {
            return {};
        }
        std::vector<char*> argv;
        argv.reserve(arguments.size() + 1);
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);

        SpawnFileActions files;
        SpawnAttributes attributes;
        if (!files.ok || !attributes.ok) {
            return {};
        }
        // A service has no console to read from: standard input is empty. Output and errors
        // share the pipe, and nothing else of the service reaches the child. The copies come
        // before the open, so a write end that happens to be descriptor 0 is copied first.
        sigset_t noSignals;
        sigemptyset(&noSignals);
        const int fd = descriptor(output.value());
        if (::posix_spawn_file_actions_adddup2(&files.actions, fd, STDOUT_FILENO) != 0 ||
            ::posix_spawn_file_actions_adddup2(&files.actions, fd, STDERR_FILENO) != 0 ||
            ::posix_spawn_file_actions_addopen(&files.actions, STDIN_FILENO, "/dev/null", O_RDONLY,
                                               0) != 0 ||
            ::posix_spawn_file_actions_addclosefrom_np(&files.actions, STDERR_FILENO + 1) != 0 ||
            // The worker thread may block signals; the child starts with none blocked.
            ::posix_spawnattr_setsigmask(&attributes.attributes, &noSignals) != 0 ||
            ::posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGMASK) != 0) {
            return {};
        }
        pid_t pid = 0;
        // glibc reports a failed exec here too, as CreateProcessW fails for a bad image.
        if (::posix_spawn(&pid, program->c_str(), &files.actions, &attributes.attributes,
                          argv.data(), environ) != 0) {
            return {};
        }
        return {*this, static_cast<std::uintptr_t>(pid)};
    }

    std::unique_ptr<OutputDecoder> newOutputDecoder() override {
        return std::make_unique<Utf8OutputDecoder>();
    }

private:
    void close(std::type_identity<PipeReadEnd>, std::uintptr_t end) override {
        UniqueFd(descriptor(end)).reset();
    }
    void close(std::type_identity<PipeWriteEnd>, std::uintptr_t end) override {
        UniqueFd(descriptor(end)).reset();
    }
    // The child is reaped only after its handle is gone, so until then its pid stays ours, as a
    // running child or a zombie: terminate() is safe against pid reuse.
    void close(std::type_identity<ChildProcess>, std::uintptr_t child) override {
        reaper().adopt(static_cast<pid_t>(child));
    }
    void terminate(std::uintptr_t child) override { ::kill(static_cast<pid_t>(child), SIGKILL); }

    PipeReadEnd::Result read(std::uintptr_t end, std::span<char> buffer,
                             std::chrono::milliseconds timeout) override {
        using Status = PipeReadEnd::Status;
        using Clock = std::chrono::steady_clock;
        // Beyond a year a wait is endless in practice; the cap keeps the deadline in range.
        constexpr auto kLongestWait = std::chrono::hours(24 * 365);
        const auto deadline =
            Clock::now() + std::clamp<std::chrono::milliseconds>(
                               timeout, std::chrono::milliseconds::zero(), kLongestWait);
        while (true) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            const int wait = left.count() <= 0        ? 0
                             : left.count() > INT_MAX ? INT_MAX
                                                      : static_cast<int>(left.count());
            pollfd entry{descriptor(end), POLLIN, 0};
            const int ready = ::poll(&entry, 1, wait);
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return {Status::Ended, 0};
            }
            if (ready == 0) {
                if (Clock::now() < deadline) {
                    continue; // a wait longer than poll can take at once
                }
                return {Status::TimedOut, 0};
            }
            if (buffer.empty()) {
                return {Status::Data, 0};
            }
            // Readable, hung up or failed: read() tells which.
            const ssize_t count = ::read(descriptor(end), buffer.data(), buffer.size());
            if (count > 0) {
                return {Status::Data, static_cast<std::size_t>(count)};
            }
            if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            return {Status::Ended, 0};
        }
    }
};

} // namespace

Processes& systemProcesses() {
    static StandinProcesses processes;
    return processes;
}

} // namespace tarn::platform
