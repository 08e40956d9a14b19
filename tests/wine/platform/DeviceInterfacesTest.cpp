#include "platform/Service.h"

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <setupapi.h> // needs the types of windows.h
// clang-format on

#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

namespace tarn::platform {
namespace {

// A class of this test's own, so that nothing else in the prefix lists the device.
constexpr GUID kTestClass = {
    0x3D8A41C7, 0x52B0, 0x4E6F, {0x9A, 0x14, 0x7E, 0x2C, 0x60, 0xD9, 0x8B, 0x31}};

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    }
    return text;
}

constexpr wchar_t kControlKey[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{3D8A41C7-52B0-4E6F-9A14-7E2C60D98B31}"
    L"\\##?#ROOT#TARNSEAMTEST#0000#{3D8A41C7-52B0-4E6F-9A14-7E2C60D98B31}\\#\\Control";

// A root device with one interface of the test class, removed at the end.
class TestDevice {
public:
    TestDevice() : set_(SetupDiCreateDeviceInfoList(&kTestClass, nullptr)) {
        device_.cbSize = sizeof(device_);
        registered_ = set_ != INVALID_HANDLE_VALUE &&
                      SetupDiCreateDeviceInfoW(set_, L"ROOT\\TARNSEAMTEST\\0000", &kTestClass,
                                               nullptr, nullptr, 0, &device_) &&
                      SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr);
        interface_.cbSize = sizeof(interface_);
        created_ = registered_ && SetupDiCreateDeviceInterfaceW(set_, &device_, &kTestClass,
                                                                nullptr, 0, &interface_);
    }
    ~TestDevice() {
        if (registered_) {
            SetupDiRemoveDevice(set_, &device_);
        }
        if (set_ != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set_);
        }
    }
    TestDevice(const TestDevice&) = delete;
    TestDevice& operator=(const TestDevice&) = delete;

    bool created() const { return created_; }

    // Windows enables an interface when its driver calls IoSetDeviceInterfaceState, which
    // records it as the Linked value of the interface's Control key. No driver runs here: the
    // test sets that value itself, where Wine's setupapi reads it for DIGCF_PRESENT.
    static bool enable() {
        HKEY control = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kControlKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &control, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        const DWORD linked = 1;
        const bool set =
            RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                           sizeof(linked)) == ERROR_SUCCESS;
        RegCloseKey(control);
        return set;
    }

private:
    HDEVINFO set_;
    SP_DEVINFO_DATA device_{};
    SP_DEVICE_INTERFACE_DATA interface_{};
    bool registered_ = false;
    bool created_ = false;
};

TEST(Win32DeviceInterfaces, OnlyTheEnabledOnesAreListedByTheirWholeNames) {
    Guid cls;
    std::memcpy(&cls, &kTestClass, sizeof(cls));
    auto& runtime = systemServiceRuntime();
    EXPECT_EQ(runtime.presentDeviceInterfaces(cls), std::vector<std::wstring>{});

    TestDevice device;
    ASSERT_TRUE(device.created()) << GetLastError();
    EXPECT_EQ(runtime.presentDeviceInterfaces(cls), std::vector<std::wstring>{});
    ASSERT_TRUE(TestDevice::enable());
    const auto names = runtime.presentDeviceInterfaces(cls);
    ASSERT_TRUE(names.has_value());
    ASSERT_EQ(names->size(), 1u);
    EXPECT_EQ(lower(names->front()),
              L"\\\\?\\root#tarnseamtest#0000#{3d8a41c7-52b0-4e6f-9a14-7e2c60d98b31}");
}

} // namespace
} // namespace tarn::platform
