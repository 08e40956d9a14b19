// The arrival filter on arbitrary event records: it may read the record only up to its size
// field, and queues an arrival only for the Tarn's product IDs.
#include "FuzzSupport.h"
#include "fakes/FakeEventLog.h"
#include "fakes/FakePlatform.h"
#include "fakes/FakeService.h"
#include "portable/AsciiCase.h"
#include "service/ServiceHost.h"

#include <algorithm>
#include <cstring>
#include <sanitizer/asan_interface.h>
#include <string>
#include <vector>

using tarn::fuzz::require;
using namespace tarn;

namespace {

// What the filter should have copied: up to the first NUL, the end of the record or 259
// characters, whichever comes first.
std::wstring expectedName(const std::uint8_t* record, std::uint32_t size) {
    std::wstring name;
    if (size < platform::kDeviceInterfaceNameOffset) {
        return name;
    }
    const std::size_t chars = (size - platform::kDeviceInterfaceNameOffset) / sizeof(wchar_t);
    for (std::size_t i = 0; i < chars && name.size() < service::kDeviceNameSize - 1; ++i) {
        wchar_t c;
        std::memcpy(&c, record + platform::kDeviceInterfaceNameOffset + i * sizeof(wchar_t),
                    sizeof(c));
        if (c == L'\0') {
            break;
        }
        name += c;
    }
    return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The size field itself is always there: the system hands over at least the header's start.
    if (size < sizeof(std::uint32_t)) {
        return 0;
    }
    // A buffer of exactly the input's size, so that ASan sees any read past it. The size field
    // stays arbitrary but within the buffer; the bytes past it are poisoned, as a record may
    // end before the memory it lies in.
    std::vector<std::uint8_t> buffer(data, data + size);
    std::uint32_t field;
    std::memcpy(&field, buffer.data(), sizeof(field));
    field = static_cast<std::uint32_t>(field % (size + 1));
    std::memcpy(buffer.data(), &field, sizeof(field));
    const std::size_t readable = std::max<std::size_t>(field, sizeof(field));
    ASAN_POISON_MEMORY_REGION(buffer.data() + readable, size - readable);

    std::uint32_t deviceType = 0;
    if (field >= platform::kDeviceInterfaceNameOffset) {
        std::memcpy(&deviceType,
                    buffer.data() + offsetof(platform::DeviceInterfaceRecord, deviceType),
                    sizeof(deviceType));
    }
    const bool recordIsInterface = field >= platform::kDeviceInterfaceNameOffset &&
                                   deviceType == platform::kDeviceTypeDeviceInterface;
    const std::wstring name = expectedName(buffer.data(), field);
    // Windows names a device in either letter case (arrivals upper, looks lower).
    const bool tarn =
        recordIsInterface && (portable::containsIgnoringAsciiCase(name, L"PID_5710") ||
                              portable::containsIgnoringAsciiCase(name, L"PID_5711"));

    fakes::FakeEventLog eventLog;
    eventlog::EventLogReporter serviceLog{eventLog, L"VantorTarnWindowsUpdateService", 1};
    eventlog::EventLogReporter engineLog{eventLog, L"TarnUpgradeProcess", 21};
    fakes::RecordingOutput out;
    fakes::FakeClock clock;
    fakes::FakeProcesses processes{clock};
    fakes::FakeFileSystem files;
    upgrade::EngineContext context{engineLog, out, processes, files, clock};
    fakes::FakeServiceManager manager;
    fakes::FakeServiceRuntime runtime;
    service::HostContext host{serviceLog, manager, runtime, context};
    service::UpgradeService upgradeService{host};

    const int result = service::onDeviceArrival(buffer.data(), upgradeService);
    ASAN_UNPOISON_MEMORY_REGION(buffer.data() + readable, size - readable);

    require(result == (tarn ? 0 : 1), "0 exactly for the Tarn");
    require(upgradeService.queueSize() == (tarn ? 1u : 0u),
            "an arrival queued exactly for the Tarn");
    if (recordIsInterface) {
        require(std::wstring(upgradeService.deviceName) == name, "the name copied as it was sent");
    }
    return 0;
}
