#include "UsbBus.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace tarn::integration {
namespace fs = std::filesystem;

std::string usbTarnPath() {
    return std::string(TARN_USB_TARN_DIR) + "/usb-tarn";
}

UsbBus::UsbBus() {
    std::string pattern = (fs::temp_directory_path() / "tarn-usb-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    directory_ = pattern;
    const Spawned bus = spawn({usbTarnPath(), "serve", directory_.string()}, false);
    pid_ = bus.pid;
    // The emulator names its testbed on its first line once it serves.
    std::string line;
    char c = 0;
    while (pid_ > 0 && read(bus.output, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(bus.output);
    const std::string prefix = "UMOCKDEV_DIR=";
    if (pid_ < 0 || line.rfind(prefix, 0) != 0) {
        if (pid_ > 0) {
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        fs::remove_all(directory_);
        throw std::runtime_error("usb-tarn did not start: " + line);
    }
    umockdevDir_ = line.substr(prefix.size());
}

UsbBus::~UsbBus() {
    if (pid_ > 0) {
        if (run({usbTarnPath(), "ctl", directory_.string(), "quit"}).exitCode != 0) {
            kill(pid_, SIGTERM);
        }
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
}

void UsbBus::ctl(const std::vector<std::string>& words) const {
    std::vector<std::string> argv = {usbTarnPath(), "ctl", directory_.string()};
    argv.insert(argv.end(), words.begin(), words.end());
    const CommandResult result = integration::run(argv);
    if (result.exitCode != 0) {
        throw std::runtime_error("usb-tarn ctl failed: " + result.output);
    }
}

std::map<std::string, std::string> UsbBus::device(const std::string& serial) const {
    const CommandResult result =
        integration::run({usbTarnPath(), "ctl", directory_.string(), "show", serial});
    std::map<std::string, std::string> values;
    std::istringstream in(result.output);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return values;
}

std::string UsbBus::image(const std::string& serial) const {
    return readFile(directory_ / (serial + ".image"));
}

CommandResult UsbBus::run(const std::vector<std::string>& argv) const {
    std::vector<std::string> all = {usbTarnPath(), "run", directory_.string(), "--"};
    all.insert(all.end(), argv.begin(), argv.end());
    return integration::run(all);
}

void UsbBus::installTool(const fs::path& services) {
    fs::copy_file(std::string(TARN_USB_TARN_DIR) + "/dfu-util-wrapper", services / "dfu-util.exe",
                  fs::copy_options::overwrite_existing);
}

std::map<std::string, std::string> UsbBus::environment() const {
    return {{"LD_PRELOAD", "libumockdev-preload.so.0"}, {"UMOCKDEV_DIR", umockdevDir_}};
}

ScopedEnvironment::ScopedEnvironment(const std::map<std::string, std::string>& variables) {
    for (const auto& [name, value] : variables) {
        const char* old = std::getenv(name.c_str());
        previous_[name] = {old != nullptr, old != nullptr ? old : ""};
        setenv(name.c_str(), value.c_str(), 1);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, old] : previous_) {
        if (old.first) {
            setenv(name.c_str(), old.second.c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

} // namespace tarn::integration
