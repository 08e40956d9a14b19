#include "IntegrationSupport.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tarn::integration {
namespace fs = std::filesystem;

void SimulatorSysRoot::installSimulator() const {
    fs::copy_file(simulatorPath(), services() / "dfu-util.exe",
                  fs::copy_options::overwrite_existing);
}

std::string SimulatorSysRoot::sim(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {simulatorPath(), "sim", "--state",
                                     (services() / "tarn-dfu-sim.state").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandResult result = run(argv);
    if (result.exitCode != 0) {
        throw std::runtime_error("tarn-dfu-sim sim failed: " + result.output);
    }
    return result.output;
}

std::vector<std::string> SimulatorSysRoot::announcements() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(services() / "tarn-dfu-sim.events"));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

void SimulatorSysRoot::makePackage(const std::string& name, const std::string& version) const {
    sim({"make-package", (services() / name).string(), "--version", version});
}

void SimulatorSysRoot::installTool(const std::string& script) const {
    const fs::path path = services() / "dfu-util.exe";
    fs::remove(path);
    std::ofstream(path) << "#!/bin/sh\n" << script << "\n";
    fs::permissions(path, fs::perms::owner_all);
}

namespace {

// Just enough JSON for the lines the stand-in event log writes.
std::string jsonString(const std::string& line, std::size_t& pos) {
    std::string out;
    ++pos; // opening quote
    while (pos < line.size() && line[pos] != '"') {
        char c = line[pos++];
        if (c == '\\' && pos < line.size()) {
            const char e = line[pos++];
            switch (e) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                const int code = std::stoi(line.substr(pos, 4), nullptr, 16);
                pos += 4;
                out += static_cast<char>(code); // only control characters are escaped
                break;
            }
            default:
                out += e;
            }
        } else {
            out += c;
        }
    }
    ++pos;
    return out;
}

} // namespace

std::vector<LogEntry> readEventLog(const fs::path& root) {
    std::vector<LogEntry> entries;
    // A line the service is still writing is not read yet.
    std::string text = readFile(root / "eventlog.jsonl");
    text.erase(text.find_last_of('\n') + 1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        LogEntry entry;
        std::size_t pos = 1;
        while (pos < line.size() && line[pos] == '"') {
            const std::string key = jsonString(line, pos);
            ++pos; // colon
            if (line[pos] == '"') {
                const std::string value = jsonString(line, pos);
                (key == "source" ? entry.source : entry.text) = value;
            } else {
                const std::size_t end = line.find_first_of(",}", pos);
                const long number = std::stol(line.substr(pos, end - pos));
                if (key == "type") {
                    entry.type = static_cast<int>(number);
                } else if (key == "category") {
                    entry.category = static_cast<int>(number);
                } else if (key == "id") {
                    entry.id = static_cast<unsigned>(number);
                }
                pos = end;
            }
            if (pos < line.size() && line[pos] == ',') {
                ++pos;
            }
        }
        entries.push_back(entry);
    }
    return entries;
}

std::string simulatorPath() {
    return TARN_DFU_SIM;
}
std::string scPath() {
    return TARN_SC;
}
std::string servicePath() {
    return TARN_SERVICE;
}

} // namespace tarn::integration

namespace tarn::integration {

ServiceUnderTest::ServiceUnderTest(const SimulatorSysRoot& sysroot) : sysroot_(sysroot) {
    fs::copy_file(servicePath(), executable(), fs::copy_options::overwrite_existing);
}

fs::path ServiceUnderTest::executable() const {
    return sysroot_.services() / "VantorTarnWindowsUpdateService.exe";
}

CommandResult ServiceUnderTest::direct(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {executable().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

CommandResult ServiceUnderTest::sc(const std::vector<std::string>& args,
                                   const std::vector<std::string>& environment) const {
    std::vector<std::string> argv = {scPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, environment);
}

std::string ServiceUnderTest::interfaceName(const std::string& product, const std::string& serial) {
    return "\\\\?\\USB#VID_7C3E&PID_" + product + "#" + serial +
           "#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}";
}

bool ServiceUnderTest::installAndStart(const std::vector<std::string>& environment) const {
    // tarn-sc starts the service with its own environment.
    return direct({"install"}).exitCode == 0 &&
           sc({"start", kServiceName}, environment).exitCode == 0 && waitFor(kStarted);
}

int ServiceUnderTest::processId() const {
    const std::string query = sc({"query", kServiceName}).output;
    const auto at = query.find("PID");
    const auto colon = query.find(':', at);
    return at == std::string::npos || colon == std::string::npos
               ? 0
               : std::atoi(query.c_str() + colon + 1);
}

void ServiceUnderTest::connectSimulator() const {
    sysroot_.sim(
        {"set-global", "announce-command='" + scPath() + "' device-event " + kServiceName});
}

std::vector<std::string> ServiceUnderTest::texts() const {
    std::vector<std::string> out;
    for (const auto& e : readEventLog(sysroot_.root())) {
        out.push_back(e.text);
    }
    return out;
}

std::vector<std::string> ServiceUnderTest::workerMessages() const {
    std::vector<std::string> out;
    for (const auto& e : readEventLog(sysroot_.root())) {
        if (e.source == kServiceName &&
            (e.text.rfind("TarnUpgradeProcess", 0) == 0 || e.text == kHandled || e.text == kKeep)) {
            out.push_back(e.text);
        }
    }
    return out;
}

int ServiceUnderTest::countOf(const std::string& text) const {
    int n = 0;
    for (const auto& t : texts()) {
        n += t == text ? 1 : 0;
    }
    return n;
}

std::vector<std::string> ServiceUnderTest::textsStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& t : texts()) {
        if (t.rfind(prefix, 0) == 0) {
            out.push_back(t);
        }
    }
    return out;
}

bool ServiceUnderTest::waitFor(const std::string& text, int count,
                               std::chrono::milliseconds limit) const {
    return waitUntil([&] { return countOf(text) >= count; }, limit);
}

} // namespace tarn::integration
