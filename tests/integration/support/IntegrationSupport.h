// A temporary system drive for the native integration tests, with the simulator installed as
// dfu-util and helpers to run the project's tools.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarn::integration {

// $TARN_SYSROOT for the life of the object; the previous value comes back afterwards.
class TempSysRoot {
public:
    TempSysRoot();
    ~TempSysRoot();
    TempSysRoot(const TempSysRoot&) = delete;
    TempSysRoot& operator=(const TempSysRoot&) = delete;

    const std::filesystem::path& root() const { return root_; }
    // C:\Program Files\Vantor\Tarn\Services\ on the host.
    std::filesystem::path services() const;
    // Copies the simulator in as dfu-util.exe (its state file lands beside it).
    void installSimulator() const;
    // Runs the simulator's control interface: tarn-dfu-sim sim ARGS...; returns its output.
    std::string sim(const std::vector<std::string>& args) const;
    // The simulator's announcements, one line each.
    std::vector<std::string> announcements() const;
    // A package with a valid DFU suffix in the service directory.
    void makePackage(const std::string& name, const std::string& version) const;

private:
    std::filesystem::path root_;
    std::string previous_;
    bool hadPrevious_ = false;
};

struct CommandResult {
    int exitCode = -1;
    std::string output; // standard output and standard error together
};

// A started program: its process and the read end of a pipe on its standard output.
struct Spawned {
    int pid = -1;
    int output = -1; // owned by the caller
};
// Starts a program with arguments (no shell), standard input /dev/null; standard error goes
// into the same pipe when `withStandardError`, else where the caller's goes. Throws when the
// pipe cannot be made; pid -1 when the program cannot be started.
Spawned spawn(const std::vector<std::string>& argv, bool withStandardError = true);

// Runs a program with arguments (no shell) and waits for it.
CommandResult run(const std::vector<std::string>& argv);

std::string readFile(const std::filesystem::path& path);

// One entry of the stand-in event log.
struct LogEntry {
    std::string source;
    int type = -1;
    int category = -1;
    unsigned id = 0;
    std::string text; // UTF-8
};
std::vector<LogEntry> readEventLog(const std::filesystem::path& root);

// The simulator and the control tool as built.
std::string simulatorPath();
std::string scPath();
std::string servicePath();

} // namespace tarn::integration

namespace tarn::integration {

inline constexpr char kServiceName[] = "VantorTarnWindowsUpdateService";
inline const std::string kQueued0 = "TarnUpgradeProcess processing event.... queue size 0";
inline const std::string kDone = "TarnUpgradeProcess.initDfuDevList processing event.... done";

// The product installed in a temporary system drive and driven through tarn-sc, as an
// administrator would on Windows.
class ServiceUnderTest {
public:
    explicit ServiceUnderTest(const TempSysRoot& sysroot);

    std::filesystem::path executable() const;
    // Runs the executable itself with arguments, as from a prompt.
    CommandResult direct(const std::vector<std::string>& args = {}) const;
    CommandResult sc(const std::vector<std::string>& args) const;
    // A Tarn interface name in runtime (5710) or DFU (5711) mode.
    static std::string interfaceName(const std::string& product, const std::string& serial);
    // Installs the service with its own "install" and starts it with tarn-sc; true once its
    // worker has reported for duty.
    bool installAndStart() const;
    // Makes the simulator announce re-enumerations to the running service.
    void connectSimulator() const;

    // The texts of the event log, in order (UTF-8).
    std::vector<std::string> texts() const;
    // Waits until `text` has been logged `count` times; false after the time limit.
    bool waitFor(const std::string& text, int count = 1, int seconds = 30) const;
    int countOf(const std::string& text) const;
    std::vector<std::string> textsStartingWith(const std::string& prefix) const;
    // The worker's messages after its start, in order.
    std::vector<std::string> workerMessages() const;

private:
    const TempSysRoot& sysroot_;
};

} // namespace tarn::integration
