#include "platform/standin/UsbDeviceMonitor.h"

#include "platform/standin/ServiceStore.h"
#include "portable/Utf8.h"

#include <cctype>
#include <charconv>
#include <cstring>
#include <libudev.h>

namespace tarn::platform::standin {
namespace {

bool parseHex16(std::string_view text, std::uint16_t& value) {
    if (text.empty() || text.size() > 4) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc{} && end == text.data() + text.size();
}

// Windows takes a device's serial for its instance identifier only when every character is
// printable ASCII and none is a comma; otherwise it makes an identifier up. '#' separates the
// parts of the name, so it cannot stand in one either.
bool usableSerial(std::string_view serial) {
    if (serial.empty()) {
        return false;
    }
    for (const unsigned char c : serial) {
        if (c <= 0x20 || c >= 0x7f || c == ',' || c == '#') {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<UsbIdentity> usbIdentity(const std::function<const char*(const char*)>& property,
                                       const std::function<const char*(const char*)>& sysAttribute,
                                       const char* sysname) {
    UsbIdentity identity;
    const char* vendor = property("ID_VENDOR_ID");
    const char* model = property("ID_MODEL_ID");
    bool known = vendor != nullptr && model != nullptr && parseHex16(vendor, identity.vendor) &&
                 parseHex16(model, identity.product);
    if (!known) {
        // The kernel's own PRODUCT=vendor/product/release, without leading zeros.
        if (const char* product = property("PRODUCT")) {
            const std::string_view text(product);
            const auto first = text.find('/');
            const auto second = text.find('/', first == std::string_view::npos ? 0 : first + 1);
            known = first != std::string_view::npos && second != std::string_view::npos &&
                    parseHex16(text.substr(0, first), identity.vendor) &&
                    parseHex16(text.substr(first + 1, second - first - 1), identity.product);
        }
    }
    if (!known) {
        return std::nullopt;
    }
    const char* serial = property("ID_SERIAL_SHORT");
    if (serial == nullptr) {
        serial = sysAttribute("serial");
    }
    if (serial != nullptr && usableSerial(serial)) {
        identity.serial = serial;
    }
    identity.sysname = sysname != nullptr ? sysname : "";
    return identity;
}

std::wstring deviceInterfaceName(const UsbIdentity& identity, const Guid& interfaceClass) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "VID_%04X&PID_%04X", identity.vendor, identity.product);
    std::string instance = identity.serial;
    if (instance.empty()) {
        // Windows' own form for a device without a serial: parent, port and a counter; the
        // kernel's name of the port stands for the first two here.
        instance = "5&" + identity.sysname + "&0&1";
        for (char& c : instance) {
            c = c == '#' ? '_' : c;
        }
    }
    std::string guid = formatGuid(interfaceClass);
    for (char& c : guid) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return portable::fromUtf8(R"(\\?\USB#)" + std::string(ids) + "#" + instance + "#" + guid);
}

std::optional<std::vector<UsbIdentity>> presentUsbDevices() {
    const std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), udev_unref);
    if (!context) {
        return std::nullopt;
    }
    const std::unique_ptr<udev_enumerate, decltype(&udev_enumerate_unref)> enumerate(
        udev_enumerate_new(context.get()), udev_enumerate_unref);
    // Not limited to the devices udev has finished with: one it is still busy with is on the
    // bus all the same, and its kernel properties name it alike.
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "usb") < 0 ||
        udev_enumerate_add_match_property(enumerate.get(), "DEVTYPE", "usb_device") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0) {
        return std::nullopt;
    }
    std::vector<UsbIdentity> present;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        const std::unique_ptr<udev_device, decltype(&udev_device_unref)> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)),
            udev_device_unref);
        if (!device) {
            continue; // gone since the scan
        }
        auto identity = usbIdentity(
            [&](const char* key) { return udev_device_get_property_value(device.get(), key); },
            [&](const char* key) { return udev_device_get_sysattr_value(device.get(), key); },
            udev_device_get_sysname(device.get()));
        if (identity) {
            present.push_back(std::move(*identity));
        }
    }
    return present;
}

std::unique_ptr<UsbDeviceMonitor> UsbDeviceMonitor::open() {
    udev* context = udev_new();
    if (context == nullptr) {
        return nullptr;
    }
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        udev_unref(context);
        return nullptr;
    }
    return std::unique_ptr<UsbDeviceMonitor>(new UsbDeviceMonitor(context, monitor));
}

UsbDeviceMonitor::UsbDeviceMonitor(udev* context, udev_monitor* monitor)
    : context_(context), monitor_(monitor) {}

UsbDeviceMonitor::~UsbDeviceMonitor() {
    udev_monitor_unref(monitor_);
    udev_unref(context_);
}

int UsbDeviceMonitor::fd() const {
    return udev_monitor_get_fd(monitor_);
}

std::vector<UsbDeviceEvent> UsbDeviceMonitor::receive() {
    std::vector<UsbDeviceEvent> events;
    // The monitor's socket is non-blocking: this ends when nothing more waits.
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(device);
        std::uint32_t type = 0;
        if (action != nullptr && std::strcmp(action, "add") == 0) {
            type = kDeviceArrival;
        } else if (action != nullptr && std::strcmp(action, "remove") == 0) {
            type = kDeviceRemoveComplete;
        }
        if (type != 0) {
            auto identity = usbIdentity(
                [device](const char* key) { return udev_device_get_property_value(device, key); },
                [device](const char* key) { return udev_device_get_sysattr_value(device, key); },
                udev_device_get_sysname(device));
            if (identity) {
                events.push_back({type, std::move(*identity)});
            }
        }
        udev_device_unref(device);
    }
    return events;
}

} // namespace tarn::platform::standin
