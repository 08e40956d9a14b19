// "tarn-dfu-sim sim ...": edits the state file and writes firmware packages for tests.
#include "Sim.h"
#include "upgrade/DfuSuffix.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <stdexcept>

namespace tarn::sim {
namespace {

constexpr std::size_t kImageHeaderSize = 12;

const char* const kHelp =
    "usage: tarn-dfu-sim sim [--state FILE] COMMAND ...\n"
    "  add SERIAL [--mode runtime|dfu] [--version HEX] [--cfg N] [--devnum N] [--path P]\n"
    "             [--active VALUE] [--bootloader HEX]\n"
    "  set SERIAL KEY=VALUE...     device keys: mode version bootloader dfu-state cfg devnum\n"
    "                              path active\n"
    "                              fault.listing=none|crlf|garbage|silent\n"
    "                              fault.detach=none|ignore\n"
    "                              fault.download=none|error|no-done|silent|die|hang|flood\n"
    "                              flood-size=BYTES[K|M] delays=on|off|(empty)\n"
    "  set-global KEY=VALUE...     announce-command=COMMAND delays=on|off\n"
    "  show [SERIAL]\n"
    "  remove SERIAL\n"
    "  make-package OUT --version HEX [--size BYTES] [--no-suffix|--bad-signature|--bad-crc]\n"
    "The state file is TARN_SIM_STATE, or tarn-dfu-sim.state beside the executable.\n";

struct Failure {
    std::string message;
};

std::pair<std::string, std::string> splitAssignment(const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw Failure{"expected KEY=VALUE, got \"" + text + "\""};
    return {text.substr(0, eq), text.substr(eq + 1)};
}

// Options "--name value" after the positional arguments.
std::string takeOption(std::vector<std::string>& args, const std::string& name, bool& present) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != name)
            continue;
        if (i + 1 >= args.size())
            throw Failure{name + " needs a value"};
        std::string value = args[i + 1];
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        present = true;
        return value;
    }
    present = false;
    return {};
}

bool takeFlag(std::vector<std::string>& args, const std::string& name) {
    for (std::size_t i = 0; i < args.size(); ++i)
        if (args[i] == name) {
            args.erase(args.begin() + static_cast<long>(i));
            return true;
        }
    return false;
}

void expectCount(const std::vector<std::string>& args, std::size_t min, std::size_t max) {
    if (args.size() < min || args.size() > max)
        throw Failure{"wrong arguments; see \"tarn-dfu-sim sim help\""};
    for (const auto& arg : args)
        if (arg.rfind("--", 0) == 0)
            throw Failure{"unknown option " + arg};
}

Device& existing(State& state, const std::string& serial) {
    Device* device = state.find(serial);
    if (!device)
        throw Failure{"no device with serial \"" + serial + "\""};
    return *device;
}

void add(State& state, std::vector<std::string> args) {
    Device device;
    bool present = false;
    const std::pair<const char*, const char*> options[] = {{"--mode", "mode"},
                                                           {"--version", "version"},
                                                           {"--cfg", "cfg"},
                                                           {"--devnum", "devnum"},
                                                           {"--path", "path"},
                                                           {"--active", "active"},
                                                           {"--bootloader", "bootloader"}};
    std::vector<std::pair<std::string, std::string>> settings;
    for (auto& [option, key] : options) {
        std::string value = takeOption(args, option, present);
        if (present)
            settings.emplace_back(key, value);
    }
    expectCount(args, 1, 1);
    setDeviceKey(device, "serial", args[0]);
    if (state.find(args[0]))
        throw Failure{"a device with serial \"" + args[0] + "\" exists already"};
    // Unique bus numbers and ports by default, as several real devices would have.
    std::set<int> devnums;
    std::set<std::string> paths;
    for (const auto& other : state.devices) {
        devnums.insert(other.devnum);
        paths.insert(other.path);
    }
    device.devnum = 4;
    while (devnums.count(device.devnum))
        ++device.devnum;
    for (int port = 1; device.path.empty() || paths.count(device.path); ++port)
        device.path = "1-" + std::to_string(port);
    for (auto& [key, value] : settings)
        setDeviceKey(device, key, value);
    state.devices.push_back(device);
}

void makePackage(std::vector<std::string> args) {
    bool present = false;
    const std::string version = takeOption(args, "--version", present);
    if (!present)
        throw Failure{"make-package needs --version"};
    const std::string sizeText = takeOption(args, "--size", present);
    std::size_t size = 65536;
    if (present) {
        try {
            std::size_t used = 0;
            size = std::stoul(sizeText, &used);
            if (used != sizeText.size() || size > 512u * 1024 * 1024)
                throw std::invalid_argument("size");
        } catch (const std::logic_error&) {
            throw Failure{"--size: expected a number of bytes"};
        }
    }
    const bool noSuffix = takeFlag(args, "--no-suffix");
    const bool badSignature = takeFlag(args, "--bad-signature");
    const bool badCrc = takeFlag(args, "--bad-crc");
    if (int(noSuffix) + int(badSignature) + int(badCrc) > 1)
        throw Failure{"give at most one of --no-suffix, --bad-signature, --bad-crc"};
    expectCount(args, 1, 1);
    const unsigned bcd = static_cast<unsigned>(std::stoul(normaliseVersion(version), nullptr, 16));

    std::vector<std::uint8_t> bytes(size);
    std::uint32_t seed = bcd * 2654435761u + 1;
    for (auto& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    // The Tarn's image header, where the device reads the version it will run: "TARN", the
    // version, two reserved bytes and the image's length, little-endian (tools/usb-tarn).
    if (size >= kImageHeaderSize) {
        const std::uint8_t header[kImageHeaderSize] = {'T',
                                                       'A',
                                                       'R',
                                                       'N',
                                                       static_cast<std::uint8_t>(bcd & 0xff),
                                                       static_cast<std::uint8_t>(bcd >> 8),
                                                       0,
                                                       0,
                                                       static_cast<std::uint8_t>(size),
                                                       static_cast<std::uint8_t>(size >> 8),
                                                       static_cast<std::uint8_t>(size >> 16),
                                                       static_cast<std::uint8_t>(size >> 24)};
        std::copy(std::begin(header), std::end(header), bytes.begin());
    }
    if (!noSuffix) {
        const auto u16 = [&bytes](unsigned value) {
            bytes.push_back(static_cast<std::uint8_t>(value & 0xff));
            bytes.push_back(static_cast<std::uint8_t>(value >> 8));
        };
        u16(bcd);
        u16(0x5711);
        u16(0x7c3e);
        u16(0x0100);
        const char* signature = badSignature ? "DFU" : "UFD";
        bytes.insert(bytes.end(), signature, signature + 3);
        bytes.push_back(16);
        std::uint32_t crc = upgrade::dfuCrc(bytes);
        if (badCrc)
            crc ^= 0x5a5a5a5au;
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<std::uint8_t>(crc >> shift));
    }
    std::ofstream out(pathFromUtf8(args[0]), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out)
        throw Failure{"cannot write " + args[0]};
}

} // namespace

int controlMain(const std::vector<std::string>& all) {
    std::vector<std::string> args = all;
    try {
        bool present = false;
        const auto file = stateFile(takeOption(args, "--state", present));
        if (args.empty() || args[0] == "help" || args[0] == "--help") {
            std::fputs(kHelp, stdout);
            return args.empty() ? 2 : 0;
        }
        const std::string command = args[0];
        args.erase(args.begin());
        if (command == "make-package") {
            makePackage(args);
            return 0;
        }
        State state = loadState(file);
        if (command == "show") {
            expectCount(args, 0, 1);
            const std::string text =
                args.empty() ? formatState(state) : formatDevice(existing(state, args[0]));
            std::fwrite(text.data(), 1, text.size(), stdout);
            return 0;
        }
        if (command == "add") {
            add(state, args);
        } else if (command == "remove") {
            expectCount(args, 1, 1);
            Device* device = &existing(state, args[0]);
            state.devices.erase(state.devices.begin() + (device - state.devices.data()));
        } else if (command == "set") {
            if (args.size() < 2)
                throw Failure{"set needs a serial and at least one KEY=VALUE"};
            // All or nothing: a bad setting leaves the file as it was.
            Device& device = existing(state, args[0]);
            for (std::size_t i = 1; i < args.size(); ++i) {
                const auto [key, value] = splitAssignment(args[i]);
                if (key == "serial" && value != device.serial && state.find(value))
                    throw Failure{"a device with serial \"" + value + "\" exists already"};
                setDeviceKey(device, key, value);
            }
        } else if (command == "set-global") {
            if (args.empty())
                throw Failure{"set-global needs at least one KEY=VALUE"};
            for (const auto& arg : args) {
                const auto [key, value] = splitAssignment(arg);
                setGlobalKey(state, key, value);
            }
        } else {
            throw Failure{"unknown command \"" + command + "\"; see \"tarn-dfu-sim sim help\""};
        }
        saveState(file, state);
        return 0;
    } catch (const Failure& f) {
        std::fprintf(stderr, "tarn-dfu-sim: %s\n", f.message.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarn-dfu-sim: %s\n", e.what());
    }
    return 2;
}

int simMain(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "sim")
        return controlMain(std::vector<std::string>(args.begin() + 1, args.end()));
    return dfuUtilMain(args);
}

} // namespace tarn::sim
