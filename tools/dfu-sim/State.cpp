// The state file: "key = value" lines, "#" comments, a "[device]" line opening each device.
#include "Sim.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace tarn::sim {
namespace {

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Values are plain unless they need quoting; quoted values use \" and \\ escapes.
std::string unquote(std::string_view value, int lineNumber) {
    if (value.empty() || value.front() != '"')
        return std::string(value);
    std::string out;
    for (std::size_t i = 1; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && i + 1 < value.size()) {
            out += value[++i];
        } else if (c == '"') {
            if (i + 1 != value.size())
                throw std::runtime_error("line " + std::to_string(lineNumber) +
                                         ": text after the closing quote");
            return out;
        } else {
            out += c;
        }
    }
    throw std::runtime_error("line " + std::to_string(lineNumber) + ": unterminated quote");
}

std::string quoteIfNeeded(const std::string& value) {
    const bool needed = value.empty() || value != trim(value) || value.front() == '"';
    if (!needed)
        return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

int parseInt(std::string_view value, std::string_view key) {
    int result = 0;
    bool digits = false;
    for (char c : value) {
        if (c < '0' || c > '9' || result > 99'999'999)
            throw std::runtime_error(std::string(key) + ": not a small decimal number");
        result = result * 10 + (c - '0');
        digits = true;
    }
    if (!digits)
        throw std::runtime_error(std::string(key) + ": not a small decimal number");
    return result;
}

std::uint64_t parseSize(std::string_view value) {
    std::uint64_t factor = 1;
    if (!value.empty() && (value.back() == 'K' || value.back() == 'M')) {
        factor = value.back() == 'K' ? 1024 : 1024 * 1024;
        value.remove_suffix(1);
    }
    return static_cast<std::uint64_t>(parseInt(value, "flood-size")) * factor;
}

bool parseBool(std::string_view value, std::string_view key) {
    if (value == "on")
        return true;
    if (value == "off")
        return false;
    throw std::runtime_error(std::string(key) + ": expected on or off");
}

void checkChoice(std::string_view value, std::initializer_list<std::string_view> choices,
                 std::string_view key) {
    if (std::find(choices.begin(), choices.end(), value) == choices.end()) {
        std::string all;
        for (auto choice : choices)
            all += (all.empty() ? "" : "|") + std::string(choice);
        throw std::runtime_error(std::string(key) + ": expected " + all);
    }
}

void checkOneLine(std::string_view value, std::string_view key) {
    if (value.find_first_of("\r\n") != std::string_view::npos)
        throw std::runtime_error(std::string(key) + ": must not hold a line break");
}

} // namespace

Device* State::find(std::string_view serial) {
    for (auto& device : devices)
        if (device.serial == serial)
            return &device;
    return nullptr;
}

std::string normaliseVersion(std::string_view text) {
    if (text.empty() || text.size() > 4 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); }))
        throw std::runtime_error("version: expected 1 to 4 hexadecimal digits");
    std::string out(4 - text.size(), '0');
    for (unsigned char c : text)
        out += static_cast<char>(std::tolower(c));
    return out;
}

void setDeviceKey(Device& device, std::string_view key, std::string_view value) {
    checkOneLine(value, key);
    if (key == "serial") {
        if (value.empty())
            throw std::runtime_error("serial: must not be empty");
        device.serial = value;
    } else if (key == "mode") {
        checkChoice(value, {"runtime", "dfu"}, key);
        device.mode = value == "dfu" ? Mode::Dfu : Mode::Runtime;
    } else if (key == "version") {
        device.version = normaliseVersion(value);
    } else if (key == "bootloader") {
        device.bootloader = value.empty() ? std::string() : normaliseVersion(value);
    } else if (key == "dfu-state") {
        checkChoice(value, {"idle", "error"}, key);
        device.dfuError = value == "error";
    } else if (key == "cfg") {
        device.cfg = parseInt(value, key);
    } else if (key == "devnum") {
        device.devnum = parseInt(value, key);
    } else if (key == "path") {
        device.path = value;
    } else if (key == "active") {
        // An empty value drops the key from the listing.
        device.active = value.empty() ? std::nullopt : std::optional<std::string>(value);
    } else if (key == "fault.listing") {
        checkChoice(value, {"none", "crlf", "garbage", "silent"}, key);
        device.faultListing = value;
    } else if (key == "fault.detach") {
        checkChoice(value, {"none", "ignore"}, key);
        device.faultDetach = value;
    } else if (key == "fault.download") {
        checkChoice(value, {"none", "error", "no-done", "silent", "die", "hang", "flood"}, key);
        device.faultDownload = value;
    } else if (key == "flood-size") {
        device.floodSize = parseSize(value);
    } else if (key == "delays") {
        if (value.empty())
            device.delays.reset();
        else
            device.delays = parseBool(value, key);
    } else {
        throw std::runtime_error("unknown device setting \"" + std::string(key) + "\"");
    }
}

void setGlobalKey(State& state, std::string_view key, std::string_view value) {
    checkOneLine(value, key);
    if (key == "announce-command")
        state.announceCommand = value;
    else if (key == "delays")
        state.delays = parseBool(value, key);
    else
        throw std::runtime_error("unknown global setting \"" + std::string(key) + "\"");
}

State parseState(std::string_view text) {
    State state;
    Device* device = nullptr;
    int lineNumber = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNumber;
        if (line.empty() || line.front() == '#')
            continue;
        const auto where = [&] { return "line " + std::to_string(lineNumber) + ": "; };
        if (line == "[device]") {
            state.devices.emplace_back();
            device = &state.devices.back();
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos)
            throw std::runtime_error(where() + "expected key = value or [device]");
        const std::string_view key = trim(line.substr(0, equals));
        const std::string value = unquote(trim(line.substr(equals + 1)), lineNumber);
        try {
            if (device)
                setDeviceKey(*device, key, value);
            else
                setGlobalKey(state, key, value);
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(where() + e.what());
        }
    }
    for (std::size_t i = 0; i < state.devices.size(); ++i) {
        const auto& serial = state.devices[i].serial;
        if (serial.empty())
            throw std::runtime_error("device " + std::to_string(i + 1) + " has no serial");
        for (std::size_t j = 0; j < i; ++j)
            if (state.devices[j].serial == serial)
                throw std::runtime_error("serial \"" + serial + "\" appears twice");
    }
    return state;
}

std::string formatDevice(const Device& d) {
    std::ostringstream out;
    out << "[device]\n"
        << "serial = " << quoteIfNeeded(d.serial) << '\n'
        << "mode = " << (d.mode == Mode::Dfu ? "dfu" : "runtime") << '\n'
        << "version = " << d.version << '\n';
    if (!d.bootloader.empty())
        out << "bootloader = " << d.bootloader << '\n';
    if (d.dfuError)
        out << "dfu-state = error\n";
    out << "cfg = " << d.cfg << '\n'
        << "devnum = " << d.devnum << '\n'
        << "path = " << quoteIfNeeded(d.path) << '\n';
    if (d.active)
        out << "active = " << quoteIfNeeded(*d.active) << '\n';
    out << "fault.listing = " << d.faultListing << '\n'
        << "fault.detach = " << d.faultDetach << '\n'
        << "fault.download = " << d.faultDownload << '\n'
        << "flood-size = " << d.floodSize << '\n';
    if (d.delays)
        out << "delays = " << (*d.delays ? "on" : "off") << '\n';
    return out.str();
}

std::string formatState(const State& state) {
    std::string out = "# tarn-dfu-sim state: global settings first, then one [device] section\n"
                      "# per simulated Tarn. \"tarn-dfu-sim sim help\" lists the keys.\n";
    out += "announce-command = " + quoteIfNeeded(state.announceCommand) + '\n';
    out += std::string("delays = ") + (state.delays ? "on" : "off") + '\n';
    for (const auto& device : state.devices)
        out += '\n' + formatDevice(device);
    return out;
}

State loadState(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::error_code ec;
        if (!std::filesystem::exists(file, ec))
            return {};
        throw std::runtime_error("cannot read " + pathToUtf8(file));
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return parseState(text.str());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(pathToUtf8(file) + ": " + e.what());
    }
}

void saveState(const std::filesystem::path& file, const State& state) {
    auto temporary = file;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << formatState(state);
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write " + pathToUtf8(temporary));
    }
    std::filesystem::rename(temporary, file);
}

} // namespace tarn::sim
