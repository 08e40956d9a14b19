// What monitors hear of the emulated bus, for its tests. Runs until killed; prints "ready" once
// it listens, then one line per event.
//
//   usb-events         the stand-in's USB monitor, as the service opens it: "arrival" or
//                      "removal" with the identity the service builds its device name from
//                      (vendor:product, serial, the kernel's name)
//   usb-events kernel  a raw netlink socket in the kernel's uevent group,
//   usb-events udev    or in udev's: every uevent as it came, "ACTION DEVTYPE NAME SERIAL"
//                      (the serial udev added, "-" for none), or "not the GROUP's: ..." for a
//                      message in the other group's format
#include "platform/standin/UniqueFd.h"
#include "platform/standin/UsbDeviceMonitor.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <linux/netlink.h>
#include <map>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int serviceMonitor() {
    using tarn::platform::standin::UsbDeviceMonitor;
    const auto monitor = UsbDeviceMonitor::open();
    if (!monitor) {
        std::fputs("no monitor\n", stderr);
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    while (true) {
        pollfd entry{monitor->fd(), POLLIN, 0};
        if (::poll(&entry, 1, -1) < 0) {
            continue;
        }
        for (const auto& event : monitor->receive()) {
            const auto& id = event.identity;
            std::printf("%s %04x:%04x %s %s\n",
                        event.eventType == tarn::platform::kDeviceArrival ? "arrival" : "removal",
                        id.vendor, id.product, id.serial.c_str(), id.sysname.c_str());
        }
        std::fflush(stdout);
    }
}

// NUL-separated KEY=value pairs.
std::map<std::string, std::string> properties(std::string_view text) {
    std::map<std::string, std::string> values;
    while (!text.empty()) {
        const std::string_view pair = text.substr(0, text.find('\0'));
        text.remove_prefix(std::min(text.size(), pair.size() + 1));
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos) {
            values[std::string(pair.substr(0, eq))] = pair.substr(eq + 1);
        }
    }
    return values;
}

// The properties of a uevent in the group's own format, or nothing: the kernel's begins
// "ACTION@DEVPATH", udev's with libudev's header and its magic.
std::optional<std::map<std::string, std::string>> parse(std::string_view message, bool kernel) {
    constexpr std::string_view kUdevPrefix("libudev\0", 8);
    constexpr std::uint32_t kUdevMagic = 0xFEEDCAFE;
    const bool udevFormat = message.substr(0, kUdevPrefix.size()) == kUdevPrefix;
    if (kernel) {
        const auto head = message.substr(0, message.find('\0'));
        if (udevFormat || head.find('@') == std::string_view::npos) {
            return std::nullopt;
        }
        return properties(message.substr(std::min(message.size(), head.size() + 1)));
    }
    std::uint32_t header[4]; // magic (big-endian), header size, properties' offset and length
    if (!udevFormat || message.size() < kUdevPrefix.size() + sizeof header) {
        return std::nullopt;
    }
    std::memcpy(header, message.data() + kUdevPrefix.size(), sizeof header);
    if (__builtin_bswap32(header[0]) != kUdevMagic || header[2] > message.size() ||
        header[3] > message.size() - header[2]) {
        return std::nullopt;
    }
    return properties(message.substr(header[2], header[3]));
}

int rawMonitor(const std::string& group) {
    const bool kernel = group == "kernel";
    // umockdev names each process's emulated netlink socket after its descriptor, in one folder
    // for all: this one takes a number no other monitor on the bus has.
    const int descriptor = kernel ? 200 : 201;
    for (int fd = ::dup(STDIN_FILENO); fd >= 0 && fd < descriptor - 1;) {
        fd = ::dup(STDIN_FILENO);
    }
    // As libudev joins them: 1 is the kernel's uevents, 2 udev's.
    const tarn::platform::standin::UniqueFd socket(
        ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = kernel ? 1 : 2;
    if (!socket ||
        ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror("no netlink socket");
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    std::string buffer(64 * 1024, '\0');
    while (true) {
        const ssize_t size = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (size < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("recv");
            return 1;
        }
        const std::string_view message(buffer.data(), static_cast<std::size_t>(size));
        if (const auto values = parse(message, kernel)) {
            auto get = [&](const char* key) {
                const auto it = values->find(key);
                return it == values->end() ? std::string("-") : it->second;
            };
            const std::string path = get("DEVPATH");
            std::printf("%s %s %s %s\n", get("ACTION").c_str(), get("DEVTYPE").c_str(),
                        path.substr(path.rfind('/') + 1).c_str(), get("ID_SERIAL_SHORT").c_str());
        } else {
            std::printf("not the %s's: %s\n", group.c_str(),
                        std::string(message.substr(0, message.find('\0'))).c_str());
        }
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "kernel" || std::string(argv[1]) == "udev")) {
        return rawMonitor(argv[1]);
    }
    return serviceMonitor();
}
