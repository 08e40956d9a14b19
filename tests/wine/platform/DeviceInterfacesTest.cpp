#include "platform/Service.h"

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <setupapi.h> // needs the types of windows.h
// clang-format on

namespace tarn::platform {
namespace {

// A class of the test's own, so that nothing else in the prefix has an interface of it.
constexpr Guid kClass = {
    0x3D8A41C7, 0x52B0, 0x4E6F, {0x9A, 0x14, 0x7E, 0x2C, 0x60, 0xD9, 0x8B, 0x31}};
constexpr wchar_t kName[] = L"\\\\?\\ROOT#TARNSEAMTEST#0000#{3d8a41c7-52b0-4e6f-9a14-7e2c60d98b31}";

TEST(Win32DeviceInterfaces, OnlyTheEnabledOnesAreListedByTheirWholeNames) {
    const GUID& cls = reinterpret_cast<const GUID&>(kClass);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&cls, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    SP_DEVICE_INTERFACE_DATA created{};
    created.cbSize = sizeof(created);
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, L"ROOT\\TARNSEAMTEST\\0000", &cls, nullptr, nullptr,
                                         0, &device) &&
                SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) &&
                SetupDiCreateDeviceInterfaceW(set, &device, &cls, nullptr, 0, &created))
        << GetLastError();
    auto& runtime = systemServiceRuntime();
    EXPECT_EQ(runtime.presentDeviceInterfaces(kClass), std::vector<std::wstring>{});

    // A driver enables its interface with IoSetDeviceInterfaceState, which Windows records as
    // the Linked value of the interface's Control key. No driver runs here: the test sets the
    // value where Wine's setupapi reads it for DIGCF_PRESENT.
    HKEY control = nullptr;
    const DWORD linked = 1;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                              L"System\\CurrentControlSet\\Control\\DeviceClasses\\{3D8A41C7-52B0-"
                              L"4E6F-9A14-7E2C60D98B31}\\##?#ROOT#TARNSEAMTEST#0000#{3D8A41C7-"
                              L"52B0-4E6F-9A14-7E2C60D98B31}\\#\\Control",
                              0, nullptr, 0, KEY_SET_VALUE, nullptr, &control, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                   sizeof(linked));
    RegCloseKey(control);
    const auto names = runtime.presentDeviceInterfaces(kClass);
    SetupDiRemoveDevice(set, &device);
    SetupDiDestroyDeviceInfoList(set);
    ASSERT_TRUE(names.has_value());
    ASSERT_EQ(names->size(), 1u);
    EXPECT_EQ(CompareStringOrdinal(names->front().c_str(), -1, kName, -1, TRUE), CSTR_EQUAL)
        << names->front();
}

} // namespace
} // namespace tarn::platform
