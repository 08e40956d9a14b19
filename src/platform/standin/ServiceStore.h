// The stand-in's Service Control Manager database and the control channel between tarn-sc and
// a service's dispatcher. Shared by the stand-in seam and the tarn-sc tool.
#pragma once

#include "platform/Service.h"
#include "platform/standin/UniqueFd.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace tarn::platform::standin {

// Win32 codes the stand-in reports, with the meanings Windows gives them.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorInvalidData = 13;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorServiceRequestTimeout = 1053;
inline constexpr std::uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr std::uint32_t kErrorServiceDisabled = 1058;
inline constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr std::uint32_t kErrorServiceCannotAcceptControl = 1061;
inline constexpr std::uint32_t kErrorServiceNotActive = 1062;
inline constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;
inline constexpr std::uint32_t kErrorProcessAborted = 1067;
inline constexpr std::uint32_t kErrorServiceExists = 1073;
inline constexpr std::uint32_t kErrorServiceNotInExe = 1083;

// Set by tarn-sc for the service process it starts: the name of the service to run. Its
// absence is how the dispatcher knows it was started from a prompt.
inline constexpr char kServiceNameVariable[] = "TARN_SC_SERVICE";

// One registered service, as CreateServiceW set it up, with the status last reported.
struct ServiceRecord {
    std::wstring serviceName;
    std::wstring displayName;
    std::uint32_t serviceType = 0;
    std::uint32_t startType = 0;
    std::uint32_t errorControl = 0;
    std::wstring binaryPathName; // exactly as given
    std::wstring account = L"LocalSystem";
    // The settings of ChangeServiceConfig2W that the service makes; kept, not acted on.
    std::uint32_t preshutdownTimeout = 10000; // Windows' own default
    std::string failureActions;               // "RESET TYPE/DELAY ...", empty: none
    std::uint32_t failureActionsOnNonCrashFailures = 0;
    ServiceStatus status;
    std::int64_t processId = 0; // 0: no process
};

// $TARN_SYSROOT/Windows/System32/config/services, when there is a system root.
std::optional<std::filesystem::path> serviceStoreDirectory();

// Names that can be stored as one file: not empty, no path separators, no line breaks.
bool isStorableName(std::wstring_view name);
// Values that fit the one-line-per-field format.
bool isStorableValue(std::wstring_view value);

std::string formatServiceRecord(const ServiceRecord& record);
std::optional<ServiceRecord> parseServiceRecord(std::string_view text);

// Replaces a file atomically: a temporary file in the same directory, then rename.
bool replaceFile(const std::filesystem::path& target, std::string_view text);

// Atomic: a temporary file in the same directory, then rename.
bool writeServiceRecord(const std::filesystem::path& directory, const ServiceRecord& record);
std::optional<ServiceRecord> readServiceRecord(const std::filesystem::path& directory,
                                               std::wstring_view serviceName);
bool removeServiceRecord(const std::filesystem::path& directory, std::wstring_view serviceName);

// Serialises read-modify-write of the store across processes; held while alive.
class StoreLock {
public:
    explicit StoreLock(const std::filesystem::path& directory);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

private:
    int fd_ = -1;
};

// A process that has exited (or is a zombie waiting to be reaped) is not alive.
bool processAlive(std::int64_t processId);

// The status as the Service Control Manager would give it: a service whose process has died
// without reporting SERVICE_STOPPED is stopped, with ERROR_PROCESS_ABORTED.
ServiceRecord withLiveness(ServiceRecord record);

// A DEV_BROADCAST_DEVICEINTERFACE_W-shaped record of exactly
// offset of the name + (length + 1) * sizeof(wchar_t) bytes, kept in 32-bit words so that it
// is aligned for the struct.
std::vector<std::uint32_t> makeDeviceInterfaceRecord(const Guid& interfaceClass,
                                                     std::wstring_view name);
// A record whose size field matches `bytes`, of device type 5, with a terminated name.
bool isWellFormedDeviceInterfaceRecord(const void* data, std::size_t bytes);

// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, braces optional, either letter case.
std::optional<Guid> parseGuid(std::string_view text);
std::string formatGuid(const Guid& guid);

// The control channel: a Unix-domain socket in the abstract namespace, one per system root and
// service, on which the dispatcher listens. Each connection carries one request and its reply.
struct ControlRequest {
    std::uint32_t control = 0;
    std::uint32_t eventType = 0;
    std::vector<std::uint8_t> eventData; // a device-interface record for device events
};

enum class ControlDisposition : std::uint32_t {
    Delivered = 0,     // the handler ran; `result` is its return value
    NotRegistered = 1, // a device event of a class without a registered notification
    NoHandler = 2,     // the service has not registered its control handler yet
    Malformed = 3,     // the request or its record was not well formed
};

struct ControlReply {
    ControlDisposition disposition = ControlDisposition::Delivered;
    std::uint32_t result = 0;
};

inline constexpr std::size_t kMaxEventData = std::size_t{64} * 1024;

// The listening socket of the dispatcher; invalid when it cannot be bound (another process
// already serves this service, or there is no system root).
UniqueFd listenControlChannel(std::wstring_view serviceName);
// A connection to a running service's dispatcher; invalid when nobody listens.
UniqueFd connectControlChannel(std::wstring_view serviceName);

bool sendRequest(int fd, const ControlRequest& request);
std::optional<ControlRequest> receiveRequest(int fd);
bool sendReply(int fd, const ControlReply& reply);
std::optional<ControlReply> receiveReply(int fd);

} // namespace tarn::platform::standin
