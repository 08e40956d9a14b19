// The device-interface names the stand-in builds from udev's view of a USB device.
#include "platform/standin/UsbDeviceMonitor.h"

#include <gtest/gtest.h>
#include <map>

namespace tarn::platform::standin {
namespace {

constexpr Guid kTarnClass = {
    0x5E1B9C3A, 0x7F24, 0x4D6B, {0xA1, 0xC8, 0x93, 0xE0, 0xF2, 0xB4, 0x7D, 0x15}};

using Values = std::map<std::string, std::string>;

std::optional<UsbIdentity> identity(const Values& properties, const Values& attributes = {}) {
    const auto lookup = [](const Values& values) {
        return [&values](const char* key) -> const char* {
            const auto found = values.find(key);
            return found == values.end() ? nullptr : found->second.c_str();
        };
    };
    return usbIdentity(lookup(properties), lookup(attributes), "1-2");
}

std::wstring name(const Values& properties, const Values& attributes = {}) {
    const auto id = identity(properties, attributes);
    return id ? deviceInterfaceName(*id, kTarnClass) : L"(none)";
}

TEST(UsbIdentity, NamesTheDeviceAsWindowsDoes) {
    EXPECT_EQ(
        name({{"ID_VENDOR_ID", "7c3e"}, {"ID_MODEL_ID", "5711"}, {"ID_SERIAL_SHORT", "SN0001"}}),
        L"\\\\?\\USB#VID_7C3E&PID_5711#SN0001#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}");
    // The kernel's own identifiers, without leading zeros, and the serial from sysfs.
    EXPECT_EQ(name({{"PRODUCT", "46d/c52b/1201"}}, {{"serial", "AB12"}}),
              L"\\\\?\\USB#VID_046D&PID_C52B#AB12#{5e1b9c3a-7f24-4d6b-a1c8-93e0f2b47d15}");
}

TEST(UsbIdentity, ADeviceWithoutAUsableSerialGetsAnInstanceOfItsOwn) {
    const Values ids = {{"ID_VENDOR_ID", "7c3e"}, {"ID_MODEL_ID", "5710"}};
    const std::wstring made = L"\\\\?\\USB#VID_7C3E&PID_5710#5&1-2&0&1#{5e1b9c3a-7f24-4d6b-a1c8-"
                              L"93e0f2b47d15}";
    EXPECT_EQ(name(ids), made);
    for (const char* serial : {"", "SN 01", "SN#01", "SN,01", "SN\xc3\xa9"}) {
        Values withSerial = ids;
        withSerial["ID_SERIAL_SHORT"] = serial;
        EXPECT_EQ(name(withSerial), made) << serial;
    }
}

TEST(UsbIdentity, NoIdentifiersNoDevice) {
    EXPECT_FALSE(identity({}));
    EXPECT_FALSE(identity({{"ID_VENDOR_ID", "7c3e"}}));
    EXPECT_FALSE(identity({{"PRODUCT", "zz/5710/1"}}));
    EXPECT_FALSE(identity({{"PRODUCT", "7c3e"}}));
    EXPECT_FALSE(identity({{"ID_VENDOR_ID", "17c3e"}, {"ID_MODEL_ID", "5710"}}));
}

} // namespace
} // namespace tarn::platform::standin
