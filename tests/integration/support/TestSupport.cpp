#include "TestSupport.h"

#include "platform/standin/SleepScale.h"
#include "platform/standin/SysRoot.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tarn::integration {
namespace fs = std::filesystem;
using namespace std::chrono;

ScopedEnvironment::ScopedEnvironment(const std::map<std::string, std::string>& variables) {
    for (const auto& [name, value] : variables) {
        const char* old = std::getenv(name.c_str());
        previous_[name] = {old != nullptr, old != nullptr ? old : ""};
        ::setenv(name.c_str(), value.c_str(), 1);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, old] : previous_) {
        if (old.first) {
            ::setenv(name.c_str(), old.second.c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

fs::path makeTempDirectory(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

TempSysRoot::TempSysRoot()
    : root_(makeTempDirectory("tarn-sysroot")),
      sysroot_({{platform::standin::kSysRootVariable, root_.string()}}) {
    fs::create_directories(services());
}

namespace {

// The processes whose program lives under `root`: a service installed there and the tools it
// started. A zombie has no program left, so it does not count.
std::vector<pid_t> processesRunningFrom(const fs::path& root) {
    std::vector<pid_t> found;
    const std::string prefix = root.string() + "/";
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string program = fs::read_symlink(entry.path() / "exe", ignored).string();
        if (!ignored && program.rfind(prefix, 0) == 0) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

} // namespace

TempSysRoot::~TempSysRoot() {
    // A stop returns once the service reports stopped, while its process still logs its last
    // steps: removed under it, the drive would come back holding them. End what still runs.
    waitUntil(
        [this] {
            const auto running = processesRunningFrom(root_);
            for (const pid_t pid : running) {
                ::kill(pid, SIGKILL);
            }
            return running.empty();
        },
        seconds(10));
    // Tests take permissions away; the removal must not stop at them.
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
}

fs::path TempSysRoot::services() const {
    return root_ / "Program Files" / "Vantor" / "Tarn" / "Services";
}

namespace {

// This process's environment with `changes` ("NAME=value") replacing or adding entries.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& changes) {
    std::vector<std::string> merged;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string current = *entry;
        bool replaced = false;
        for (const auto& change : changes) {
            replaced = replaced || nameOf(change) == nameOf(current);
        }
        if (!replaced) {
            merged.push_back(current);
        }
    }
    merged.insert(merged.end(), changes.begin(), changes.end());
    return merged;
}

} // namespace

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             bool withStandardError) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (withStandardError) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> envStrings = mergedEnvironment(environment);
    std::vector<char*> env;
    for (auto& e : envStrings) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);
    pid_t pid = 0;
    if (!argv.empty() &&
        ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data()) == 0) {
        pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    readFd_ = fds[0];
}

Child::~Child() {
    if (readFd_ >= 0) {
        ::close(readFd_);
    }
    if (started() && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

Child::Read Child::read(std::string& into, const std::string* text, milliseconds limit) {
    const auto deadline = steady_clock::now() + limit;
    char buffer[65536];
    for (;;) {
        if (text != nullptr && into.find(*text) != std::string::npos) {
            return Read::Found;
        }
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) {
            return Read::TimedOut;
        }
        pollfd p{readFd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready <= 0) {
            continue; // the time is up, or a signal came
        }
        const ssize_t n = ::read(readFd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return Read::Ended;
        }
        into.append(buffer, static_cast<std::size_t>(n));
    }
}

bool Child::readToEnd(std::string& into, milliseconds limit) {
    return read(into, nullptr, limit) == Read::Ended;
}

bool Child::readUntil(std::string& into, const std::string& text, milliseconds limit) {
    return read(into, &text, limit) == Read::Found;
}

bool Child::running() {
    if (!started() || reaped_) {
        return false;
    }
    const pid_t done = ::waitpid(pid_, &status_, WNOHANG);
    reaped_ = done == pid_;
    return done == 0;
}

void Child::kill() {
    if (started() && !reaped_) {
        ::kill(pid_, SIGKILL);
    }
}

CommandResult Child::finish(std::string output) {
    CommandResult result;
    result.output = std::move(output);
    if (!started()) {
        return result;
    }
    while (!reaped_) {
        const pid_t done = ::waitpid(pid_, &status_, 0);
        reaped_ = done == pid_ || (done < 0 && errno != EINTR);
    }
    if (WIFEXITED(status_)) {
        result.exitCode = WEXITSTATUS(status_);
    } else if (WIFSIGNALED(status_)) {
        result.signal = WTERMSIG(status_);
    }
    return result;
}

CommandResult run(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                  milliseconds limit) {
    Child child(argv, environment);
    std::string output;
    if (!child.readToEnd(output, limit)) {
        child.kill();
    }
    return child.finish(std::move(output));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool waitUntil(const std::function<bool()>& condition, milliseconds limit) {
    const auto deadline = steady_clock::now() + limit;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

std::string sleepScaleEntry(double times) {
    const char* variable = platform::standin::kSleepScaleVariable;
    const double scale = platform::standin::parseSleepScale(std::getenv(variable)) * times;
    std::ostringstream entry;
    entry.precision(17);
    entry << variable << '=' << scale;
    return entry.str();
}

} // namespace tarn::integration
