#include "UsbBus.h"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace tarn::integration {
namespace fs = std::filesystem;

namespace {

std::string usbTarnPath() {
    return std::string(TARN_USB_TARN_DIR) + "/usb-tarn";
}

} // namespace

UsbBus::UsbBus() {
    directory_ = makeTempDirectory("tarn-usb");
    // Its own complaints go to the test's standard error, where a failing test shows them.
    server_ = std::make_unique<Child>(
        std::vector<std::string>{usbTarnPath(), "serve", directory_.string()},
        std::vector<std::string>{}, false);
    // The emulator names its testbed on its first line once it serves.
    std::string line;
    const std::string prefix = "UMOCKDEV_DIR=";
    if (!server_->started() || !server_->readUntil(line, "\n", std::chrono::minutes(1)) ||
        line.rfind(prefix, 0) != 0) {
        server_.reset();
        fs::remove_all(directory_);
        throw std::runtime_error("usb-tarn did not start: " + line);
    }
    umockdevDir_ = line.substr(prefix.size(), line.find('\n') - prefix.size());
}

UsbBus::~UsbBus() {
    // A clean quit removes the testbed; a refused one leaves the kill to the Child.
    if (integration::run({usbTarnPath(), "ctl", directory_.string(), "quit"}).exitCode == 0) {
        server_->finish("");
    }
    server_.reset();
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

std::vector<std::string> UsbBus::under(const std::vector<std::string>& argv) const {
    std::vector<std::string> all = {usbTarnPath(), "run", directory_.string(), "--"};
    all.insert(all.end(), argv.begin(), argv.end());
    return all;
}

CommandResult UsbBus::run(const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment) const {
    return integration::run(under(argv), environment);
}

std::vector<pid_t> UsbBus::running(const std::string& program) const {
    // A process on this bus has this testbed in its environment; one that has ended (a zombie
    // among them) shows neither its program nor its environment.
    const std::string testbed = "UMOCKDEV_DIR=" + umockdevDir_;
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos ||
            fs::read_symlink(entry.path() / "exe", error) != program) {
            continue;
        }
        const std::string environment = readFile(entry.path() / "environ");
        std::istringstream variables(environment);
        for (std::string variable; std::getline(variables, variable, '\0');) {
            if (variable == testbed) {
                found.push_back(std::stoi(name));
                break;
            }
        }
    }
    return found;
}

void UsbBus::installTool(const fs::path& services) {
    fs::copy_file(std::string(TARN_USB_TARN_DIR) + "/dfu-util-wrapper", services / "dfu-util.exe",
                  fs::copy_options::overwrite_existing);
}

std::map<std::string, std::string> UsbBus::environment() const {
    // As `usb-tarn run` sets them: the library the emulator built, which keeps the kernel's
    // uevents apart from udev's, ahead of umockdev's.
    return {
        {"LD_PRELOAD", (directory_ / "netlink-groups.so").string() + " libumockdev-preload.so.0"},
        {"UMOCKDEV_DIR", umockdevDir_}};
}

} // namespace tarn::integration
