// The arrival filter: is it the Tarn, in either of its two USB identities?
#include "portable/AsciiCase.h"
#include "service/ServiceHost.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace tarn::service {
namespace {

using eventlog::EventType;

constexpr wchar_t kRuntimeProduct[] = L"PID_5710";
constexpr wchar_t kDfuProduct[] = L"PID_5711";

// Windows names a device in upper case in an arrival and in lower case in a look (SetupDi):
// the identifier counts in any letter case.
bool holdsProduct(std::wstring_view name, std::wstring_view product) {
    return portable::containsIgnoringAsciiCase(name, product);
}

// The record comes from outside: its size field bounds every read of it.
bool readRecord(const void* eventData, platform::DeviceInterfaceRecord& header,
                std::size_t& nameChars) {
    if (eventData == nullptr) {
        return false;
    }
    // The size field alone first: a record shorter than its header must not be read whole.
    std::uint32_t size = 0;
    std::memcpy(&size, eventData, sizeof(size));
    if (size < platform::kDeviceInterfaceNameOffset) {
        return false;
    }
    std::memcpy(&header, eventData, platform::kDeviceInterfaceNameOffset);
    if (header.deviceType != platform::kDeviceTypeDeviceInterface) {
        return false;
    }
    nameChars = (header.size - platform::kDeviceInterfaceNameOffset) / sizeof(wchar_t);
    return true;
}

} // namespace

int onDeviceArrival(const void* eventData, UpgradeService& service) {
    auto& log = service.host().log;
    log.reportEvent(EventType::Information, L"device event: device arrival");

    platform::DeviceInterfaceRecord header{};
    std::size_t nameChars = 0;
    if (!readRecord(eventData, header, nameChars)) {
        log.reportEvent(EventType::Error, L"arrival device is not Vantor Tarn.");
        return 1;
    }
    // Never beyond the record, nor beyond what the name buffer keeps.
    const auto* bytes =
        static_cast<const unsigned char*>(eventData) + platform::kDeviceInterfaceNameOffset;
    std::wstring name;
    const std::size_t limit = std::min(nameChars, kDeviceNameSize - 1);
    while (name.size() < limit) {
        wchar_t c;
        std::memcpy(&c, bytes + name.size() * sizeof(wchar_t), sizeof(c));
        if (c == L'\0') {
            break;
        }
        name.push_back(c);
    }
    return filterArrival(header.classGuid, name, service);
}

int filterArrival(const platform::Guid& interfaceClass, std::wstring_view name,
                  UpgradeService& service, bool dfuModeOnly) {
    auto& log = service.host().log;
    const platform::Guid& g = interfaceClass;
    log.reportEvent(EventType::Information,
                    L"Guid = {%08lX-%04hX-%04hX-%02hhX%02hhX-%02hhX%02hhX%02hhX%02hhX%02hhX%02hhX}",
                    g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                    g.data4[4], g.data4[5], g.data4[6], g.data4[7]);

    std::lock_guard lock(service.deviceNameMutex);
    // At most 259 characters, up to the first NUL, always terminated.
    const std::wstring_view copied =
        name.substr(0, std::min(name.find(L'\0'), kDeviceNameSize - 1));
    std::copy(copied.begin(), copied.end(), service.deviceName);
    service.deviceName[copied.size()] = L'\0';

    const bool dfuMode = holdsProduct(copied, kDfuProduct);
    if (!holdsProduct(copied, kRuntimeProduct) && !dfuMode) {
        log.reportEvent(EventType::Error, L"arrival device is not Vantor Tarn.");
        return 1;
    }
    if (dfuModeOnly && !dfuMode) {
        log.reportEvent(EventType::Information,
                        L"attached Tarn in runtime mode waits for its arrival.");
        return 1;
    }
    log.reportEvent(EventType::Warning, L"arrival device is Vantor Tarn.");
    service.pushArrival(UpdateParameter{service.deviceName, false, kInterfaceClass, &service});
    return 0;
}

} // namespace tarn::service
