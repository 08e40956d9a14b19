// The product's tools on a temporary system drive: the simulator installed as dfu-util, the
// service driven through tarn-sc, and the stand-in event log read back.
#pragma once

#include "TestSupport.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace tarn::integration {

// A temporary system drive with the simulator's control interface at hand.
class SimulatorSysRoot : public TempSysRoot {
public:
    // Copies the simulator in as dfu-util.exe (its state file lands beside it).
    void installSimulator() const;
    // Runs the simulator's control interface: tarn-dfu-sim sim ARGS...; returns its output.
    std::string sim(const std::vector<std::string>& args) const;
    // The simulator's announcements, one line each.
    std::vector<std::string> announcements() const;
    // A package with a valid DFU suffix in the service directory.
    void makePackage(const std::string& name, const std::string& version) const;
    // A dfu-util of the test's own in place of the simulator: a shell script.
    void installTool(const std::string& script) const;
};

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
// The worker's own messages: its start, a pass taken with nothing else waiting, an arrival
// handled, the loop going on, and a pass's end.
inline const std::string kStarted = "TarnUpgradeProcess start event processing";
inline const std::string kQueued0 = "TarnUpgradeProcess processing event.... queue size 0";
inline const std::string kHandled = "arrival device handled completely.";
inline const std::string kKeep = "Keep service running.";
inline const std::string kDone = "TarnUpgradeProcess.initDfuDevList processing event.... done";

// The product installed in a temporary system drive and driven through tarn-sc, as an
// administrator would on Windows.
class ServiceUnderTest {
public:
    explicit ServiceUnderTest(const SimulatorSysRoot& sysroot);

    std::filesystem::path executable() const;
    // Runs the executable itself with arguments, as from a prompt.
    CommandResult direct(const std::vector<std::string>& args = {}) const;
    // tarn-sc with arguments; `environment` ("NAME=value") is for tarn-sc and so for a service
    // it starts.
    CommandResult sc(const std::vector<std::string>& args,
                     const std::vector<std::string>& environment = {}) const;
    // A Tarn interface name in runtime (5710) or DFU (5711) mode.
    static std::string interfaceName(const std::string& product, const std::string& serial);
    // Installs the service with its own "install" and starts it with tarn-sc; true once its
    // worker has reported for duty. `environment` ("NAME=value") is for the service's process
    // alone: a factor of its own (sleepScaleEntry), bounds of its own (TARN_LISTING_BOUND_MS,
    // TARN_DOWNLOAD_BOUND_MS); the tests after it see nothing of them.
    bool installAndStart(const std::vector<std::string>& environment = {}) const;
    // The running service's process, from its status.
    int processId() const;
    // Makes the simulator announce re-enumerations to the running service.
    void connectSimulator() const;

    // The texts of the event log, in order (UTF-8).
    std::vector<std::string> texts() const;
    // The worker thread's own messages, in order: its start, each pass's queue size and end.
    std::vector<std::string> workerMessages() const;
    // Waits until `text` has been logged `count` times; false only when that takes far longer
    // than a pass can (the default is several times the longest pass at the tests' factor and
    // with their own bounds where they wait for one).
    bool waitFor(const std::string& text, int count = 1,
                 std::chrono::milliseconds limit = std::chrono::minutes(3)) const;
    int countOf(const std::string& text) const;
    std::vector<std::string> textsStartingWith(const std::string& prefix) const;

private:
    const SimulatorSysRoot& sysroot_;
};

} // namespace tarn::integration
