// The simulator's shared types: the state file, the OS seam and the command entry points.
// All text is UTF-8 inside the simulator.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::sim {

enum class Mode { Runtime, Dfu };

struct Device {
    std::string serial;
    Mode mode = Mode::Runtime;
    std::string version = "0100"; // four lowercase hex digits
    std::string bootloader;       // what DFU mode reports as ver=; empty: the firmware version
    bool dfuError = false;        // left in dfuERROR (a detach refused in DFU mode)
    int cfg = 1;
    int devnum = 0;
    std::string path;
    std::optional<std::string> active;  // absent: the listing carries no "active=" key
    std::string faultListing = "none";  // none | crlf | garbage | silent
    std::string faultDetach = "none";   // none | ignore
    std::string faultDownload = "none"; // none | error | no-done | silent | die | hang | flood
    std::uint64_t floodSize = 20'000'000;
    std::optional<bool> delays; // absent: the global setting applies
};

struct State {
    std::string announceCommand;
    bool delays = false;
    std::vector<Device> devices;

    Device* find(std::string_view serial);
};

// Parsing fails with std::runtime_error naming the line.
State parseState(std::string_view text);
std::string formatState(const State& state);
std::string formatDevice(const Device& device);

// A missing file is an empty state.
State loadState(const std::filesystem::path& file);
// Temporary file and rename, so that a reader never sees half a file.
void saveState(const std::filesystem::path& file, const State& state);

// Applies one "key=value" to a device or to the global settings; throws std::runtime_error.
void setDeviceKey(Device& device, std::string_view key, std::string_view value);
void setGlobalKey(State& state, std::string_view key, std::string_view value);
std::string normaliseVersion(std::string_view text); // throws on anything but 1-4 hex digits

enum class Event { Arrival, Removal };
std::string interfaceName(const Device& device);

// The OS seam (Platform.cpp).
std::filesystem::path executableDirectory();
std::filesystem::path pathFromUtf8(const std::string& text);
std::string pathToUtf8(const std::filesystem::path& path);
std::string environment(const char* name); // empty when unset
// Text as the real tool would print it on this system (the ANSI code page on Windows).
std::string consoleText(const std::string& utf8);
// Flushes and lets go of standard output and error, so that a reader of our pipe sees its end.
void releaseStandardStreams();
// Runs the command line with the extra arguments appended, waits, ignores the result.
void runCommand(const std::string& commandLine, const std::vector<std::string>& arguments);
[[noreturn]] void dieAbruptly();

// Entry points (arguments without the program name).
int dfuUtilMain(const std::vector<std::string>& args);
int controlMain(const std::vector<std::string>& args);
int simMain(const std::vector<std::string>& args);

// Shared by the commands.
std::filesystem::path stateFile(const std::string& override);
void announce(const std::filesystem::path& stateFile, const State& state, Event event,
              const std::string& deviceInterfaceName);
// Waits on the platform clock (stretched by TARN_SLEEP_SCALE on the stand-in).
void sleepScaled(int milliseconds);

} // namespace tarn::sim
