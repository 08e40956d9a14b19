#include "platform/standin/ServiceStore.h"

#include "platform/standin/SysRoot.h"
#include "portable/Utf8.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarn::platform::standin {
namespace {

constexpr char kLockFileName[] = ".store.lock";

template <typename T> bool parseNumber(std::string_view text, T& value) {
    const auto* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

std::filesystem::path recordPath(const std::filesystem::path& directory, std::wstring_view name) {
    return directory / portable::toUtf8(name);
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        // MSG_NOSIGNAL: a peer that went away must not kill the service with SIGPIPE.
        const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(int fd, void* data, std::size_t size) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::recv(fd, bytes, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// Abstract names need no file, cannot go stale when the service dies, and have no path-length
// trouble with deep system roots. The hash keeps services of different roots apart.
std::optional<sockaddr_un> controlAddress(std::wstring_view serviceName, socklen_t& length) {
    auto root = sysRoot();
    if (!root) {
        return std::nullopt;
    }
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(*root, ec);
    if (ec) {
        canonical = std::filesystem::absolute(*root);
    }
    const std::string name = portable::toUtf8(serviceName);
    const std::string key = canonical.string() + '\0' + name;
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(key)));
    std::string label = "tarn-scm/" + std::string(hash) + "/" + name.substr(0, 60);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    address.sun_path[0] = '\0';
    const std::size_t room = sizeof(address.sun_path) - 1;
    if (label.size() > room) {
        label.resize(room);
    }
    std::memcpy(address.sun_path + 1, label.data(), label.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + label.size());
    return address;
}

} // namespace

std::optional<std::filesystem::path> serviceStoreDirectory() {
    auto root = sysRoot();
    if (!root) {
        return std::nullopt;
    }
    return *root / "Windows" / "System32" / "config" / "services";
}

bool isStorableName(std::wstring_view name) {
    if (name.empty() || name == L"." || name == L".." || name.front() == L'.') {
        return false;
    }
    return isStorableValue(name) && name.find_first_of(L"/\\") == std::wstring_view::npos;
}

bool isStorableValue(std::wstring_view value) {
    return value.find_first_of(std::wstring_view(L"\r\n\0", 3)) == std::wstring_view::npos;
}

std::string formatServiceRecord(const ServiceRecord& r) {
    std::ostringstream out;
    out << "serviceName=" << portable::toUtf8(r.serviceName) << '\n'
        << "displayName=" << portable::toUtf8(r.displayName) << '\n'
        << "serviceType=" << r.serviceType << '\n'
        << "startType=" << r.startType << '\n'
        << "errorControl=" << r.errorControl << '\n'
        << "binaryPathName=" << portable::toUtf8(r.binaryPathName) << '\n'
        << "account=" << portable::toUtf8(r.account) << '\n'
        << "preshutdownTimeout=" << r.preshutdownTimeout << '\n'
        << "failureActions=" << r.failureActions << '\n'
        << "failureActionsOnNonCrashFailures=" << r.failureActionsOnNonCrashFailures << '\n'
        << "status.serviceType=" << r.status.serviceType << '\n'
        << "status.currentState=" << r.status.currentState << '\n'
        << "status.controlsAccepted=" << r.status.controlsAccepted << '\n'
        << "status.win32ExitCode=" << r.status.win32ExitCode << '\n'
        << "status.serviceSpecificExitCode=" << r.status.serviceSpecificExitCode << '\n'
        << "status.checkPoint=" << r.status.checkPoint << '\n'
        << "status.waitHint=" << r.status.waitHint << '\n'
        << "processId=" << r.processId << '\n';
    return out.str();
}

std::optional<ServiceRecord> parseServiceRecord(std::string_view text) {
    ServiceRecord r;
    bool haveName = false;
    bool haveBinary = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty()) {
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view key = line.substr(0, eq);
        const std::string_view value = line.substr(eq + 1);
        bool ok = true;
        if (key == "serviceName") {
            r.serviceName = portable::fromUtf8(value);
            haveName = true;
        } else if (key == "displayName") {
            r.displayName = portable::fromUtf8(value);
        } else if (key == "binaryPathName") {
            r.binaryPathName = portable::fromUtf8(value);
            haveBinary = true;
        } else if (key == "account") {
            r.account = portable::fromUtf8(value);
        } else if (key == "preshutdownTimeout") {
            ok = parseNumber(value, r.preshutdownTimeout);
        } else if (key == "failureActions") {
            r.failureActions = value;
        } else if (key == "failureActionsOnNonCrashFailures") {
            ok = parseNumber(value, r.failureActionsOnNonCrashFailures);
        } else if (key == "serviceType") {
            ok = parseNumber(value, r.serviceType);
        } else if (key == "startType") {
            ok = parseNumber(value, r.startType);
        } else if (key == "errorControl") {
            ok = parseNumber(value, r.errorControl);
        } else if (key == "status.serviceType") {
            ok = parseNumber(value, r.status.serviceType);
        } else if (key == "status.currentState") {
            ok = parseNumber(value, r.status.currentState);
        } else if (key == "status.controlsAccepted") {
            ok = parseNumber(value, r.status.controlsAccepted);
        } else if (key == "status.win32ExitCode") {
            ok = parseNumber(value, r.status.win32ExitCode);
        } else if (key == "status.serviceSpecificExitCode") {
            ok = parseNumber(value, r.status.serviceSpecificExitCode);
        } else if (key == "status.checkPoint") {
            ok = parseNumber(value, r.status.checkPoint);
        } else if (key == "status.waitHint") {
            ok = parseNumber(value, r.status.waitHint);
        } else if (key == "processId") {
            ok = parseNumber(value, r.processId);
        }
        // Unknown keys are skipped: a newer tool may add fields.
        if (!ok) {
            return std::nullopt;
        }
    }
    if (!haveName || !haveBinary) {
        return std::nullopt;
    }
    return r;
}

bool replaceFile(const std::filesystem::path& target, std::string_view text) {
    const auto temporary = target.parent_path() /
                           ("." + target.filename().string() + ".tmp" + std::to_string(::getpid()));
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool writeServiceRecord(const std::filesystem::path& directory, const ServiceRecord& record) {
    if (!isStorableName(record.serviceName)) {
        return false;
    }
    return replaceFile(recordPath(directory, record.serviceName), formatServiceRecord(record));
}

std::optional<ServiceRecord> readServiceRecord(const std::filesystem::path& directory,
                                               std::wstring_view serviceName) {
    if (!isStorableName(serviceName)) {
        return std::nullopt;
    }
    std::ifstream in(recordPath(directory, serviceName), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    auto record = parseServiceRecord(text.str());
    // The file name is the key; a record that names another service is not this one.
    if (!record || record->serviceName != serviceName) {
        return std::nullopt;
    }
    return record;
}

bool removeServiceRecord(const std::filesystem::path& directory, std::wstring_view serviceName) {
    if (!isStorableName(serviceName)) {
        return false;
    }
    return ::unlink(recordPath(directory, serviceName).c_str()) == 0;
}

StoreLock::StoreLock(const std::filesystem::path& directory) {
    fd_ = ::open((directory / kLockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

StoreLock::~StoreLock() {
    if (fd_ >= 0) {
        ::close(fd_); // releases the lock
    }
}

bool processAlive(std::int64_t processId) {
    if (processId <= 0) {
        return false;
    }
    std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
    if (!stat) {
        return false;
    }
    std::string line;
    std::getline(stat, line);
    // The state follows the command name, which is in parentheses and may hold anything.
    const std::size_t paren = line.rfind(')');
    if (paren == std::string::npos || paren + 2 >= line.size()) {
        return false;
    }
    const char state = line[paren + 2];
    return state != 'Z' && state != 'X';
}

ServiceRecord withLiveness(ServiceRecord record) {
    if (record.status.currentState != scm::kStateStopped && !processAlive(record.processId)) {
        record.status.currentState = scm::kStateStopped;
        record.status.controlsAccepted = 0;
        record.status.win32ExitCode = kErrorProcessAborted;
        record.status.serviceSpecificExitCode = 0;
        record.status.checkPoint = 0;
        record.status.waitHint = 0;
        record.processId = 0;
    }
    return record;
}

std::vector<std::uint32_t> makeDeviceInterfaceRecord(const Guid& interfaceClass,
                                                     std::wstring_view name) {
    static_assert(kDeviceInterfaceNameOffset % sizeof(std::uint32_t) == 0);
    static_assert(sizeof(wchar_t) == sizeof(std::uint32_t));
    const std::size_t bytes = kDeviceInterfaceNameOffset + (name.size() + 1) * sizeof(wchar_t);
    std::vector<std::uint32_t> words(bytes / sizeof(std::uint32_t), 0);
    auto* record = reinterpret_cast<DeviceInterfaceRecord*>(words.data());
    record->size = static_cast<std::uint32_t>(bytes);
    record->deviceType = kDeviceTypeDeviceInterface;
    record->reserved = 0;
    record->classGuid = interfaceClass;
    auto* out = reinterpret_cast<wchar_t*>(reinterpret_cast<std::uint8_t*>(words.data()) +
                                           kDeviceInterfaceNameOffset);
    std::copy(name.begin(), name.end(), out);
    out[name.size()] = L'\0';
    return words;
}

bool isWellFormedDeviceInterfaceRecord(const void* data, std::size_t bytes) {
    if (bytes < kDeviceInterfaceNameOffset + sizeof(wchar_t) ||
        (bytes - kDeviceInterfaceNameOffset) % sizeof(wchar_t) != 0) {
        return false;
    }
    const auto* raw = static_cast<const std::uint8_t*>(data);
    std::uint32_t size = 0;
    std::uint32_t type = 0;
    std::memcpy(&size, raw, sizeof size);
    std::memcpy(&type, raw + offsetof(DeviceInterfaceRecord, deviceType), sizeof type);
    wchar_t last = 1;
    std::memcpy(&last, raw + bytes - sizeof(wchar_t), sizeof last);
    return size == bytes && type == kDeviceTypeDeviceInterface && last == L'\0';
}

std::optional<Guid> parseGuid(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        return std::nullopt;
    }
    auto hex = [&](std::size_t at, std::size_t digits, auto& value) {
        auto [ptr, ec] = std::from_chars(text.data() + at, text.data() + at + digits, value, 16);
        return ec == std::errc() && ptr == text.data() + at + digits;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i != 8 && i != 13 && i != 18 && i != 23 &&
            !std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return std::nullopt;
        }
    }
    Guid guid{};
    if (!hex(0, 8, guid.data1) || !hex(9, 4, guid.data2) || !hex(14, 4, guid.data3)) {
        return std::nullopt;
    }
    static constexpr std::array<std::size_t, 8> at = {19, 21, 24, 26, 28, 30, 32, 34};
    for (std::size_t i = 0; i < 8; ++i) {
        unsigned value = 0;
        if (!hex(at[i], 2, value)) {
            return std::nullopt;
        }
        guid.data4[i] = static_cast<std::uint8_t>(value);
    }
    return guid;
}

std::string formatGuid(const Guid& g) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.data1), g.data2, g.data3, g.data4[0], g.data4[1],
                  g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return text;
}

UniqueFd listenControlChannel(std::wstring_view serviceName) {
    socklen_t length = 0;
    auto address = controlAddress(serviceName, length);
    if (!address) {
        return {};
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), length) != 0 ||
        ::listen(fd.get(), 16) != 0) {
        return {};
    }
    return fd;
}

UniqueFd connectControlChannel(std::wstring_view serviceName) {
    socklen_t length = 0;
    auto address = controlAddress(serviceName, length);
    if (!address) {
        return {};
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), length) != 0) {
        return {};
    }
    return fd;
}

bool sendRequest(int fd, const ControlRequest& request) {
    const std::uint32_t header[3] = {request.control, request.eventType,
                                     static_cast<std::uint32_t>(request.eventData.size())};
    return writeAll(fd, header, sizeof header) &&
           writeAll(fd, request.eventData.data(), request.eventData.size());
}

std::optional<ControlRequest> receiveRequest(int fd) {
    std::uint32_t header[3];
    if (!readAll(fd, header, sizeof header) || header[2] > kMaxEventData) {
        return std::nullopt;
    }
    ControlRequest request;
    request.control = header[0];
    request.eventType = header[1];
    request.eventData.resize(header[2]);
    if (!readAll(fd, request.eventData.data(), request.eventData.size())) {
        return std::nullopt;
    }
    return request;
}

bool sendReply(int fd, const ControlReply& reply) {
    const std::uint32_t words[2] = {static_cast<std::uint32_t>(reply.disposition), reply.result};
    return writeAll(fd, words, sizeof words);
}

std::optional<ControlReply> receiveReply(int fd) {
    std::uint32_t words[2];
    if (!readAll(fd, words, sizeof words) || words[0] > 3) {
        return std::nullopt;
    }
    return ControlReply{static_cast<ControlDisposition>(words[0]), words[1]};
}

} // namespace tarn::platform::standin
