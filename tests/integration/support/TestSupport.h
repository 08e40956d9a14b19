// What every native integration test shares: a temporary system drive, child processes with
// their output, the sleep factor, and waiting for a condition.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tarn::integration {

// Sets variables for the life of the object; their earlier values come back afterwards.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::map<std::string, std::string>& variables);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::map<std::string, std::pair<bool, std::string>> previous_;
};

// A new, empty directory in the system's temporary folder, named `prefix` and a unique tail;
// throws when none can be made.
std::filesystem::path makeTempDirectory(const std::string& prefix);

// A fresh directory as $TARN_SYSROOT for the life of the object; the previous value comes back
// afterwards, and the directory goes with everything in it.
class TempSysRoot {
public:
    TempSysRoot();
    ~TempSysRoot();
    TempSysRoot(const TempSysRoot&) = delete;
    TempSysRoot& operator=(const TempSysRoot&) = delete;

    const std::filesystem::path& root() const { return root_; }
    // C:\Program Files\Vantor\Tarn\Services\ on the host (made by the constructor).
    std::filesystem::path services() const;

private:
    std::filesystem::path root_;
    ScopedEnvironment sysroot_;
};

struct CommandResult {
    int exitCode = -1;  // -1 when the program did not start or a signal ended it
    int signal = 0;     // the signal that ended it, if one did
    std::string output; // standard output and standard error together
};

// A program started with arguments (no shell), its standard output and standard error on one
// pipe (standard error where this process's goes when `withStandardError` is false), its
// standard input /dev/null. `environment` holds "NAME=value" entries that replace or add to
// this process's own, for the child alone. Destroying it kills and reaps the child.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment = {}, bool withStandardError = true);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    // Appends what the child writes until the pipe ends (true) or `limit` passes (false).
    bool readToEnd(std::string& into, std::chrono::milliseconds limit);
    // Appends what the child writes until `into` holds `text` (true), or the pipe ends or
    // `limit` passes (false).
    bool readUntil(std::string& into, const std::string& text, std::chrono::milliseconds limit);
    // True while the child has not ended.
    bool running();
    void kill();
    // Waits for the child to end; `output` is what was read from it.
    CommandResult finish(std::string output);

private:
    enum class Read { Ended, Found, TimedOut };
    Read read(std::string& into, const std::string* text, std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int readFd_ = -1;
    int status_ = 0;
    bool reaped_ = false;
};

// Runs a program to its end; one that does not end within `limit` is killed and reported with
// its signal.
CommandResult run(const std::vector<std::string>& argv,
                  const std::vector<std::string>& environment = {},
                  std::chrono::milliseconds limit = std::chrono::minutes(5));

std::string readFile(const std::filesystem::path& path);

// Polls `condition` until it holds (true) or `limit` passes (false). The limits callers give
// are far beyond what the condition needs: only a hang reaches them.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::minutes(1));

// The sleep factor the test run gives this process (TARN_SLEEP_SCALE, read by the stand-in's
// own rule), times `times`, as an environment entry for a child that needs longer waits.
std::string sleepScaleEntry(double times);

} // namespace tarn::integration
