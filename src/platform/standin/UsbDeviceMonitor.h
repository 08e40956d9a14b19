// The stand-in's source of device arrivals: USB devices added and removed, as libudev's monitor
// reports them, told in the form Windows gives a device-interface notification.
#pragma once

#include "platform/Service.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace tarn::platform::standin {

// What Windows builds a USB device-interface name from.
struct UsbIdentity {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string serial;  // empty when the device has none Windows would take
    std::string sysname; // the kernel's name for the device, e.g. "1-1"
};

// From a device's udev properties (and, when its properties lack it, its sysfs serial): the
// vendor and product of ID_VENDOR_ID/ID_MODEL_ID or else of PRODUCT, the serial of
// ID_SERIAL_SHORT. Nothing when neither pair of identifiers is there.
std::optional<UsbIdentity> usbIdentity(const std::function<const char*(const char*)>& property,
                                       const std::function<const char*(const char*)>& sysAttribute,
                                       const char* sysname);

// \\?\USB#VID_7C3E&PID_5711#SN0001#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}: identifiers in
// upper-case hexadecimal and the class in lower case, as Windows writes them. A device without a
// usable serial gets an instance part of its own, as Windows makes one up.
std::wstring deviceInterfaceName(const UsbIdentity& identity, const Guid& interfaceClass);

// The USB devices on the bus now (subsystem usb, device type usb_device), as sysfs and udev
// know them. Nothing when udev cannot be asked.
std::optional<std::vector<UsbIdentity>> presentUsbDevices();

struct UsbDeviceEvent {
    std::uint32_t eventType = 0; // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
    UsbIdentity identity;
};

// A libudev monitor of USB devices (subsystem usb, device type usb_device), after udev has
// processed them. Owns the udev context and the monitor.
class UsbDeviceMonitor {
public:
    // Nothing when the monitor cannot be set up (no netlink, no libudev).
    static std::unique_ptr<UsbDeviceMonitor> open();
    ~UsbDeviceMonitor();
    UsbDeviceMonitor(const UsbDeviceMonitor&) = delete;
    UsbDeviceMonitor& operator=(const UsbDeviceMonitor&) = delete;

    // Readable when events wait; never blocks in receive().
    int fd() const;
    // Every event waiting now, oldest first: additions and removals only.
    std::vector<UsbDeviceEvent> receive();

private:
    UsbDeviceMonitor(udev* context, udev_monitor* monitor);
    udev* context_;
    udev_monitor* monitor_;
};

} // namespace tarn::platform::standin
