// The stand-in for the dfu-util command line: listing, detach and download, with their faults.
#include "Sim.h"
#include "platform/Clock.h"
#include "upgrade/DfuSuffix.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace tarn::sim {
namespace {

constexpr std::uint16_t kVendor = 0x7c3e;
constexpr std::uint16_t kRuntimeProduct = 0x5710;
constexpr std::uint16_t kDfuProduct = 0x5711;
constexpr const char* kClassGuid = "{5E1B9C3A-7F24-4D6B-A1C8-93E0F2B47D15}";
constexpr const char* kNoError = "status(0) = No error condition is present";
// The Tarn's DFU functional descriptor has no bitWillDetach: the tool resets it after a detach.
constexpr const char* kResetting = "Resetting USB...\n";

// Exit codes of the real tool (sysexits).
constexpr int kExUsage = 64;
constexpr int kExDataErr = 65;
constexpr int kExNoInput = 66;
constexpr int kExSoftware = 70;
constexpr int kExIoErr = 74;

void out(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// The service reads both streams through one pipe, so keep their order.
void err(const std::string& text) {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

const char* const kBannerHead = "dfu-util 0.11\n\n"
                                "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko "
                                "Inc.\n";
const char* const kBannerTail = "Copyright 2010-2021 Tormod Volden and Stefan Schmidt\n"
                                "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
                                "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/"
                                "\n\n";

const char* const kUsage = "Usage: dfu-util [options] ...\n"
                           "  -h --help\t\t\tPrint this help message\n"
                           "  -V --version\t\t\tPrint the version number\n"
                           "  -l --list\t\t\tList currently attached DFU capable devices\n"
                           "  -e --detach\t\t\tDetach currently attached DFU capable devices\n"
                           "  -d --device <vendor>:<product>[,<vendor_dfu>:<product_dfu>]\n"
                           "\t\t\t\tSpecify Vendor/Product ID(s) of DFU device\n"
                           "  -c --cfg <config_nr>\t\tSpecify the Configuration of DFU device\n"
                           "  -S --serial <serial_string>[,<serial_string_dfu>]\n"
                           "\t\t\t\tSpecify Serial String of DFU device\n"
                           "  -D --download <file>\t\tWrite firmware from <file> into device\n";

std::string hex4(unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%04x", value & 0xffff);
    return buffer;
}

struct Options {
    bool list = false, detach = false, force = false, serialGiven = false;
    std::string device, serial, cfg, download;
};

struct UsageError {
    std::string message; // as the tool prints it, before the usage text
};

Options parseOptions(const std::vector<std::string>& args) {
    Options o;
    const auto takesValue = [](char c) { return c == 'd' || c == 'S' || c == 'c' || c == 'D'; };
    const auto apply = [&o](char c, const std::string& value) {
        switch (c) {
        case 'l':
            o.list = true;
            break;
        case 'e':
            o.detach = true;
            break;
        case 'f':
            o.force = true;
            break;
        case 'd':
            o.device = value;
            break;
        case 'S':
            o.serial = value;
            o.serialGiven = true;
            break;
        case 'c':
            o.cfg = value;
            break;
        case 'D':
            o.download = value;
            break;
        }
    };
    const std::pair<const char*, char> longNames[] = {
        {"list", 'l'},   {"detach", 'e'}, {"force", 'f'},   {"device", 'd'},
        {"serial", 'S'}, {"cfg", 'c'},    {"download", 'D'}};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
            const auto eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? eq : eq - 2);
            char c = 0;
            for (auto& [longName, shortName] : longNames)
                if (name == longName)
                    c = shortName;
            if (!c)
                throw UsageError{"dfu-util: unrecognized option '" + arg + "'"};
            std::string value;
            if (takesValue(c)) {
                if (eq != std::string::npos)
                    value = arg.substr(eq + 1);
                else if (i + 1 < args.size())
                    value = args[++i];
                else
                    throw UsageError{"dfu-util: option '--" + name + "' requires an argument"};
            }
            apply(c, value);
            continue;
        }
        if (arg.size() < 2 || arg[0] != '-')
            throw UsageError{"Error: Unexpected argument: " + arg + "\n"};
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const char c = arg[k];
            if (std::string_view("lefdScD").find(c) == std::string_view::npos)
                throw UsageError{std::string("dfu-util: invalid option -- '") + c + "'"};
            std::string value;
            if (takesValue(c)) {
                if (k + 1 < arg.size())
                    value = arg.substr(k + 1);
                else if (i + 1 < args.size())
                    value = args[++i];
                else
                    throw UsageError{std::string("dfu-util: option requires an argument -- '") + c +
                                     "'"};
                apply(c, value);
                break;
            }
            apply(c, value);
        }
    }
    return o;
}

bool parseIdPair(std::string_view text, std::uint16_t& vendor, std::uint16_t& product) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return false;
    const auto parse = [](std::string_view hex, std::uint16_t& value) {
        if (hex.empty() || hex.size() > 4)
            return false;
        unsigned v = 0;
        for (char c : hex) {
            const int d = (c >= '0' && c <= '9')   ? c - '0'
                          : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                          : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                   : -1;
            if (d < 0)
                return false;
            v = v * 16 + static_cast<unsigned>(d);
        }
        value = static_cast<std::uint16_t>(v);
        return true;
    };
    return parse(text.substr(0, colon), vendor) && parse(text.substr(colon + 1), product);
}

// The devices that the -d, -S and -c filters let through.
std::vector<Device*> matching(State& state, const Options& o) {
    std::uint16_t rtVendor = kVendor, rtProduct = kRuntimeProduct;
    std::uint16_t dfuVendor = kVendor, dfuProduct = kDfuProduct;
    const bool anyId = o.device.empty();
    if (!anyId) {
        const auto comma = o.device.find(',');
        const std::string first = o.device.substr(0, comma);
        if (!parseIdPair(first, rtVendor, rtProduct))
            return {};
        if (comma == std::string::npos) {
            dfuVendor = rtVendor;
            dfuProduct = rtProduct;
        } else if (!parseIdPair(std::string_view(o.device).substr(comma + 1), dfuVendor,
                                dfuProduct)) {
            return {};
        }
    }
    std::vector<Device*> found;
    for (auto& d : state.devices) {
        const bool dfu = d.mode == Mode::Dfu;
        const std::uint16_t product = dfu ? kDfuProduct : kRuntimeProduct;
        const bool idMatch = anyId || (dfu ? (dfuVendor == kVendor && dfuProduct == product)
                                           : (rtVendor == kVendor && rtProduct == product));
        bool serialMatch = !o.serialGiven || o.serial == d.serial;
        if (!serialMatch) {
            // The tool's own syntax: a runtime and a DFU serial, separated by a comma.
            const auto comma = o.serial.find(',');
            if (comma != std::string::npos)
                serialMatch =
                    (dfu ? o.serial.substr(comma + 1) : o.serial.substr(0, comma)) == d.serial;
        }
        const bool cfgMatch = o.cfg.empty() || o.cfg == std::to_string(d.cfg);
        if (idMatch && serialMatch && cfgMatch)
            found.push_back(&d);
    }
    return found;
}

// A device that re-enumerates gets the bus's next device number, as USB gives it.
int nextDevnum(const State& state) {
    int highest = 0;
    for (const auto& other : state.devices)
        highest = std::max(highest, other.devnum);
    return highest + 1;
}

bool delaysOn(const State& state, const Device* device) {
    return device && device->delays ? *device->delays : state.delays;
}

std::string deviceLine(const Device& d) {
    const bool dfu = d.mode == Mode::Dfu;
    std::string line = std::string("Found ") + (dfu ? "DFU" : "Runtime") + ": [" + hex4(kVendor) +
                       ":" + hex4(dfu ? kDfuProduct : kRuntimeProduct) +
                       "] ver=" + (dfu && !d.bootloader.empty() ? d.bootloader : d.version) +
                       ", devnum=" + std::to_string(d.devnum) + ", cfg=" + std::to_string(d.cfg);
    if (d.active)
        line += ", active=" + consoleText(*d.active);
    line += ", intf=0, path=\"" + consoleText(d.path) + "\", alt=0, name=\"" +
            (dfu ? "Tarn firmware" : "Tarn runtime") + "\", serial=\"" + consoleText(d.serial) +
            "\"";
    return line;
}

// Random-looking but repeatable, so that a failing test can be rerun.
std::string garbage(const std::string& seedText) {
    std::uint32_t seed = 2166136261u;
    for (unsigned char c : seedText)
        seed = (seed ^ c) * 16777619u;
    std::string bytes;
    for (int i = 0; i < 240; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes += static_cast<char>((seed >> 16) & 0xff);
    }
    // Make sure of the awkward cases: NULs, a lone continuation byte, an overlong form,
    // a truncated sequence and bytes that never occur in UTF-8.
    const char awkward[] = {'\0', '\x80', '\xc0', '\x80', '\xe2', '\x28', '\xff', '\xfe', '\0'};
    bytes.insert(bytes.size() / 3, awkward, sizeof awkward);
    bytes[bytes.size() / 2] = '\n';
    return bytes + "\n";
}

int listing(State& state, const Options& o) {
    const auto devices = matching(state, o);
    for (const Device* d : devices)
        if (d->faultListing == "silent")
            return 0;
    if (state.delays)
        sleepScaled(300);
    out(kBannerHead);
    out(kBannerTail);
    for (const Device* d : devices) {
        if (d->faultListing == "garbage")
            out(garbage(d->serial));
        else
            out(deviceLine(*d) + (d->faultListing == "crlf" ? "\r\n" : "\n"));
    }
    return 0;
}

void runtimeOpening() {
    out("Opening DFU capable USB device...\n"
        "Device ID " +
        hex4(kVendor) + ":" + hex4(kRuntimeProduct) +
        "\n"
        "Device DFU version 0110\n"
        "Claiming USB DFU (Run-Time) Interface...\n"
        "Setting Alternate Interface zero...\n"
        "Determining device status...\n"
        "DFU state(0) = appIDLE, " +
        kNoError +
        "\n"
        "Device really in Run-Time Mode, send DFU detach request...\n");
}

// A device left in dfuERROR is cleared first, as the tool does before anything else.
void dfuOpening(Device& d) {
    out("Opening DFU capable USB device...\n"
        "Device ID " +
        hex4(kVendor) + ":" + hex4(kDfuProduct) +
        "\n"
        "Device DFU version 0110\n"
        "Claiming USB DFU Interface...\n"
        "Setting Alternate Interface #0 ...\n"
        "Determining device status...\n");
    if (d.dfuError) {
        out("DFU state(10) = dfuERROR, status(15) = Device stalled an unexpected request\n"
            "Clearing status\n"
            "Determining device status...\n");
        d.dfuError = false;
    }
    out("DFU state(2) = dfuIDLE, " + std::string(kNoError) + "\n");
}

// Finds the one device for a detach or download, or says why not as the tool would.
Device* theDevice(State& state, const Options& o, int& exitCode) {
    const auto devices = matching(state, o);
    if (devices.size() == 1)
        return devices.front();
    err(devices.empty() ? "dfu-util: No DFU capable USB device available\n"
                        : "dfu-util: More than one DFU capable USB device found! Try `--list' "
                          "and specify the serial number or disconnect all but one device\n");
    exitCode = kExIoErr;
    return nullptr;
}

int detach(const std::filesystem::path& file, State& state, const Options& o) {
    out(kBannerHead);
    out(kBannerTail);
    int exitCode = 0;
    Device* d = theDevice(state, o, exitCode);
    if (!d)
        return exitCode;
    if (d->mode == Mode::Dfu) {
        // dfu-util 0.11 sends the detach all the same; the bootloader stalls it and stays in
        // dfuERROR, without re-enumerating.
        dfuOpening(*d);
        out("DFU mode device DFU version 0110\n"
            "Device returned transfer size 1024\n");
        err("dfu-util: can't detach\n");
        d->dfuError = true;
        try {
            saveState(file, state);
        } catch (const std::exception& e) {
            err(std::string("dfu-util: error detaching (") + e.what() + ")\n");
            return kExIoErr;
        }
        return 0;
    }
    const bool delays = delaysOn(state, d);
    runtimeOpening();
    if (d->faultDetach == "ignore") {
        out(kResetting);
        return 0;
    }
    d->mode = Mode::Dfu;
    d->devnum = nextDevnum(state);
    const Device dfuMode = *d;
    try {
        saveState(file, state);
    } catch (const std::exception& e) {
        err(std::string("dfu-util: error detaching (") + e.what() + ")\n");
        return kExIoErr;
    }
    out(kResetting);
    releaseStandardStreams();
    if (delays)
        sleepScaled(1000);
    Device runtime = dfuMode;
    runtime.mode = Mode::Runtime;
    announce(file, state, Event::Removal, interfaceName(runtime));
    announce(file, state, Event::Arrival, interfaceName(dfuMode));
    return 0;
}

// The tool's progress bar: "\r"-separated updates on one line, then "Download done."
void progress(std::uint64_t total, bool delays, std::uint64_t stopAt = ~std::uint64_t{0}) {
    constexpr int width = 25;
    constexpr std::uint64_t transfer = 1024;
    const std::uint64_t blocks = total / transfer + 1;
    for (std::uint64_t sent = 0;; sent = std::min(total, sent + transfer)) {
        if (sent >= stopAt)
            return;
        const std::uint64_t max = total ? total : 1;
        // One update per transfer, as the tool shows on a device slower than a second.
        const int bar = static_cast<int>(width * sent / max);
        {
            char text[96];
            std::snprintf(text, sizeof text, "\rDownload\t[%s%s] %3d%% %12llu bytes",
                          std::string(bar, '=').c_str(), std::string(width - bar, ' ').c_str(),
                          static_cast<int>(100 * sent / max),
                          static_cast<unsigned long long>(sent));
            out(text);
        }
        if (delays)
            sleepScaled(static_cast<int>(1500 / blocks));
        if (sent == total)
            break;
    }
    out("\nDownload done.\n");
}

int download(const std::filesystem::path& file, State& state, const Options& o) {
    {
        const auto devices = matching(state, o);
        if (devices.size() == 1 && devices.front()->mode == Mode::Dfu &&
            devices.front()->faultDownload == "silent")
            return 0;
    }
    out(kBannerHead);
    out(kBannerTail);
    std::vector<std::uint8_t> package;
    {
        std::ifstream in(pathFromUtf8(o.download), std::ios::binary);
        if (!in) {
            err("dfu-util: Could not open file " + consoleText(o.download) +
                " for reading: No such file or directory\n");
            return kExNoInput;
        }
        package.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The service's own check decides: dfu-util 0.11 only warns about a missing or broken
    // suffix and writes the file anyway, but a Tarn takes exactly what the service would send.
    upgrade::DfuSuffix suffix;
    const upgrade::SuffixFault suffixFault = upgrade::checkDfuSuffix(package, suffix);
    switch (suffixFault) {
    case upgrade::SuffixFault::None:
    case upgrade::SuffixFault::NoRelease:        // dfu-util takes it; the service refuses it itself
    case upgrade::SuffixFault::NotForThisDevice: // told once the device is found, below
        break;
    case upgrade::SuffixFault::TooShort:
    case upgrade::SuffixFault::BadSignature:
        err(suffixFault == upgrade::SuffixFault::TooShort
                ? "dfu-util: Warning: File too short for DFU suffix\n"
                : "dfu-util: Warning: Invalid DFU suffix signature\n");
        err("dfu-util: Valid DFU suffix needed\n");
        return kExDataErr;
    case upgrade::SuffixFault::BadLength:
        err("dfu-util: Unsupported DFU suffix length " + std::to_string(suffix.length) + "\n");
        return kExDataErr;
    case upgrade::SuffixFault::CrcMismatch:
        err("dfu-util: DFU suffix CRC does not match\n");
        return kExDataErr;
    // The Tarn speaks neither DfuSe nor another revision, and takes no empty image.
    case upgrade::SuffixFault::NotDfu1x:
        err("dfu-util: Unsupported DFU file revision " + hex4(suffix.bcdDfu) + "\n");
        return kExDataErr;
    case upgrade::SuffixFault::NoImage:
        err("dfu-util: Error: the file holds no image\n");
        return kExDataErr;
    }
    int exitCode = 0;
    Device* d = theDevice(state, o, exitCode);
    if (!d)
        return exitCode;
    if (suffixFault == upgrade::SuffixFault::NotForThisDevice) {
        err("dfu-util: Error: File ID " + hex4(suffix.idVendor) + ":" + hex4(suffix.idProduct) +
            " does not match device (" + hex4(kVendor) + ":" + hex4(kRuntimeProduct) + " or " +
            hex4(kVendor) + ":" + hex4(kDfuProduct) + ")\n");
        return 1;
    }
    if (d->mode == Mode::Runtime) {
        runtimeOpening();
        out(kResetting);
        err("dfu-util: Lost device after RESET?\n");
        return kExIoErr;
    }
    const std::string& fault = d->faultDownload;
    const bool delays = delaysOn(state, d);
    const std::uint64_t payload = package.size() - suffix.length;
    dfuOpening(*d);
    out("DFU mode device DFU version 0110\n"
        "Device returned transfer size 1024\n"
        "Copying data from PC to DFU device\n");
    if (fault == "die" || fault == "hang") {
        progress(payload, delays, payload / 2 + 1);
        std::fflush(stdout);
        if (fault == "die")
            dieAbruptly();
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    if (fault == "error") {
        // A write that fails half-way: the tool ends the progress line there.
        progress(payload, delays, payload / 2 + 1);
        out(" failed!\nDFU state(10) = dfuERROR, status(3) = Device is unable to write memory\n");
        return kExIoErr;
    }
    progress(payload, delays);
    if (fault == "flood") {
        const std::string line = "DFU state(5) = dfuDNLOAD-IDLE, " + std::string(kNoError) + "\n";
        for (std::uint64_t written = 0; written < d->floodSize; written += line.size())
            out(line);
    }
    if (fault == "no-done")
        return 0;
    const Device before = *d;
    d->mode = Mode::Runtime;
    d->devnum = nextDevnum(state);
    d->version = hex4(suffix.bcdDevice);
    try {
        saveState(file, state);
    } catch (const std::exception& e) {
        err(std::string("dfu-util: Error during download get_status (") + e.what() + ")\n");
        return kExIoErr;
    }
    out("DFU state(2) = dfuIDLE, " + std::string(kNoError) + "\nDone!\n");
    releaseStandardStreams();
    if (delays)
        sleepScaled(1500);
    announce(file, state, Event::Removal, interfaceName(before));
    announce(file, state, Event::Arrival, interfaceName(*d));
    return 0;
}

} // namespace

std::string interfaceName(const Device& d) {
    return std::string("\\\\?\\USB#VID_7C3E&PID_") + (d.mode == Mode::Dfu ? "5711" : "5710") + "#" +
           d.serial + "#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}";
}

std::filesystem::path stateFile(const std::string& override) {
    if (!override.empty())
        return pathFromUtf8(override);
    const std::string fromEnvironment = environment("TARN_SIM_STATE");
    if (!fromEnvironment.empty())
        return pathFromUtf8(fromEnvironment);
    return executableDirectory() / "tarn-dfu-sim.state";
}

void announce(const std::filesystem::path& file, const State& state, Event event,
              const std::string& deviceInterfaceName) {
    const bool arrival = event == Event::Arrival;
    {
        std::ofstream events(file.parent_path() / "tarn-dfu-sim.events",
                             std::ios::binary | std::ios::app);
        events << (arrival ? "arrival " : "removal ") << deviceInterfaceName << '\n';
    }
    if (!state.announceCommand.empty())
        runCommand(state.announceCommand,
                   {arrival ? "32768" : "32772", kClassGuid, deviceInterfaceName});
}

void sleepScaled(int milliseconds) {
    // The platform's clock: on the stand-in it stretches the wait by TARN_SLEEP_SCALE, by the
    // same rule as the service's own waits; on Windows it waits what it is asked.
    platform::systemClock().sleep(std::chrono::milliseconds(milliseconds));
}

int dfuUtilMain(const std::vector<std::string>& args) {
    Options o;
    try {
        o = parseOptions(args);
    } catch (const UsageError& e) {
        out(kBannerHead);
        err(e.message + "\n" + kUsage);
        return kExUsage;
    }
    const int modes = int(o.list) + int(o.detach) + int(!o.download.empty());
    if (modes != 1) {
        out(kBannerHead);
        out(kBannerTail);
        err(std::string(modes ? "dfu-util: Only one of -l, -e and -D may be given\n"
                              : "dfu-util: You need to specify one of -D or -U\n") +
            kUsage);
        return kExUsage;
    }
    const auto file = stateFile({});
    State state;
    try {
        state = loadState(file);
    } catch (const std::exception& e) {
        out(kBannerHead);
        out(kBannerTail);
        err(std::string("dfu-util: ") + e.what() + "\n");
        return kExSoftware;
    }
    if (o.list)
        return listing(state, o);
    return o.detach ? detach(file, state, o) : download(file, state, o);
}

} // namespace tarn::sim
