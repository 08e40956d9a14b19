#include "IntegrationSupport.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tarn::integration {
namespace fs = std::filesystem;

TempSysRoot::TempSysRoot() {
    std::string pattern = (fs::temp_directory_path() / "tarn-sysroot-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
    if (const char* old = std::getenv("TARN_SYSROOT")) {
        previous_ = old;
        hadPrevious_ = true;
    }
    setenv("TARN_SYSROOT", root_.c_str(), 1);
    fs::create_directories(services());
}

TempSysRoot::~TempSysRoot() {
    if (hadPrevious_) {
        setenv("TARN_SYSROOT", previous_.c_str(), 1);
    } else {
        unsetenv("TARN_SYSROOT");
    }
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
}

fs::path TempSysRoot::services() const {
    return root_ / "Program Files" / "Vantor" / "Tarn" / "Services";
}

void TempSysRoot::installSimulator() const {
    fs::copy_file(simulatorPath(), services() / "dfu-util.exe",
                  fs::copy_options::overwrite_existing);
}

std::string TempSysRoot::sim(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {simulatorPath(), "sim", "--state",
                                     (services() / "tarn-dfu-sim.state").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandResult result = run(argv);
    if (result.exitCode != 0) {
        throw std::runtime_error("tarn-dfu-sim sim failed: " + result.output);
    }
    return result.output;
}

std::vector<std::string> TempSysRoot::announcements() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(services() / "tarn-dfu-sim.events"));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

void TempSysRoot::makePackage(const std::string& name, const std::string& version) const {
    sim({"make-package", (services() / name).string(), "--version", version});
}

Spawned spawn(const std::vector<std::string>& argv, bool withStandardError) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
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
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    return {spawned == 0 ? pid : -1, fds[0]};
}

CommandResult run(const std::vector<std::string>& argv) {
    const Spawned child = spawn(argv);
    CommandResult result;
    char buffer[65536];
    for (ssize_t n; (n = read(child.output, buffer, sizeof buffer)) > 0;) {
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(child.output);
    if (child.pid < 0) {
        return result;
    }
    int status = 0;
    waitpid(child.pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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
    std::istringstream in(readFile(root / "eventlog.jsonl"));
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

ServiceUnderTest::ServiceUnderTest(const TempSysRoot& sysroot) : sysroot_(sysroot) {
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

CommandResult ServiceUnderTest::sc(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {scPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

std::string ServiceUnderTest::interfaceName(const std::string& product, const std::string& serial) {
    return "\\\\?\\USB#VID_7C3E&PID_" + product + "#" + serial +
           "#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}";
}

bool ServiceUnderTest::installAndStart() const {
    return direct({"install"}).exitCode == 0 && sc({"start", kServiceName}).exitCode == 0 &&
           waitFor("TarnUpgradeProcess start event processing");
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

std::vector<std::string> ServiceUnderTest::workerMessages() const {
    std::vector<std::string> out;
    for (const auto& t : texts()) {
        if ((t.rfind("TarnUpgradeProcess", 0) == 0 && t.find("start event") == std::string::npos) ||
            t == "arrival device handled completely." || t == "Keep service running.") {
            out.push_back(t);
        }
    }
    return out;
}

bool ServiceUnderTest::waitFor(const std::string& text, int count, int seconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (countOf(text) >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace tarn::integration
