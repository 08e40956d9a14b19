// tarn-sc: starts, stops, queries and controls services of the stand-in Service Control
// Manager, in the manner of Windows' sc.
#include "ScCommands.h"
#include "platform/standin/RegistryStore.h"
#include "platform/standin/ServiceStore.h"
#include "platform/standin/SysRoot.h"
#include "portable/Utf8.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tarn::platform;
using namespace tarn::portable;
using namespace tarn::platform::standin;

// The Service Control Manager waits 30 seconds for a service to start or stop.
constexpr auto kWaitLimit = std::chrono::seconds(30);
constexpr auto kPollInterval = std::chrono::milliseconds(20);
const Guid kTarnInterfaceClass = {
    0x5E1B9C3A, 0x7F24, 0x4D6B, {0xA1, 0xC8, 0x93, 0xE0, 0xF2, 0xB4, 0x7D, 0x15}};

int failure(const char* operation, std::uint32_t code, const std::string& text) {
    std::cerr << "[SC] " << operation << " FAILED " << code << ":\n\n" << text << "\n";
    return 1;
}

int usage() {
    std::cerr << "Usage:\n"
                 "  tarn-sc start NAME\n"
                 "  tarn-sc stop NAME\n"
                 "  tarn-sc query NAME\n"
                 "  tarn-sc control NAME CODE\n"
                 "  tarn-sc device-event NAME EVENT-TYPE CLASS-GUID DEVICE-INTERFACE-NAME\n"
                 "  tarn-sc arrive NAME DEVICE-INTERFACE-NAME\n"
                 "  tarn-sc reg query KEY\n";
    return 2;
}

const char* stateName(std::uint32_t state) {
    switch (state) {
    case 1:
        return "STOPPED";
    case 2:
        return "START_PENDING";
    case 3:
        return "STOP_PENDING";
    case 4:
        return "RUNNING";
    case 5:
        return "CONTINUE_PENDING";
    case 6:
        return "PAUSE_PENDING";
    case 7:
        return "PAUSED";
    default:
        return "UNKNOWN";
    }
}

const char* typeName(std::uint32_t type) {
    switch (type) {
    case 0x10:
        return "WIN32_OWN_PROCESS";
    case 0x20:
        return "WIN32_SHARE_PROCESS";
    case 0x30:
        return "WIN32";
    default:
        return "";
    }
}

void printStatus(const ServiceRecord& record) {
    const auto& s = record.status;
    std::printf("\nSERVICE_NAME: %s\n", toUtf8(record.serviceName).c_str());
    std::printf("        TYPE               : %x  %s\n", static_cast<unsigned>(s.serviceType),
                typeName(s.serviceType));
    std::printf("        STATE              : %u  %s\n", static_cast<unsigned>(s.currentState),
                stateName(s.currentState));
    std::printf("        CONTROLS_ACCEPTED  : 0x%x\n", static_cast<unsigned>(s.controlsAccepted));
    std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", static_cast<unsigned>(s.win32ExitCode),
                static_cast<unsigned>(s.win32ExitCode));
    std::printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n",
                static_cast<unsigned>(s.serviceSpecificExitCode),
                static_cast<unsigned>(s.serviceSpecificExitCode));
    std::printf("        CHECKPOINT         : 0x%x\n", static_cast<unsigned>(s.checkPoint));
    std::printf("        WAIT_HINT          : 0x%x\n", static_cast<unsigned>(s.waitHint));
    std::printf("        PID                : %lld\n", static_cast<long long>(record.processId));
    std::fflush(stdout);
}

struct Store {
    std::filesystem::path directory;
    std::wstring name;
};

std::optional<ServiceRecord> current(const Store& store) {
    auto record = readServiceRecord(store.directory, store.name);
    if (!record) {
        return std::nullopt;
    }
    return withLiveness(*record);
}

// Sends one control; prints why when it was not delivered.
std::optional<std::uint32_t> sendControl(const Store& store, const ControlRequest& request) {
    UniqueFd channel = connectControlChannel(store.name);
    if (!channel) {
        failure("ControlService", kErrorServiceNotActive, "The service has not been started.");
        return std::nullopt;
    }
    timeval timeout{std::chrono::seconds(kWaitLimit).count(), 0};
    ::setsockopt(channel.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (!sendRequest(channel.get(), request)) {
        failure("ControlService", kErrorServiceNotActive, "The service has not been started.");
        return std::nullopt;
    }
    auto reply = receiveReply(channel.get());
    if (!reply) {
        failure("ControlService", kErrorServiceRequestTimeout,
                "The service did not respond to the control request in a timely fashion.");
        return std::nullopt;
    }
    switch (reply->disposition) {
    case ControlDisposition::Delivered:
        return reply->result;
    case ControlDisposition::NotRegistered:
        failure("ControlService", kErrorServiceCannotAcceptControl,
                "The device event was not delivered: the service has no device notification "
                "registered for this interface class.");
        return std::nullopt;
    case ControlDisposition::NoHandler:
        failure("ControlService", kErrorServiceCannotAcceptControl,
                "The service has not registered a control handler.");
        return std::nullopt;
    case ControlDisposition::Malformed:
        failure("ControlService", kErrorInvalidParameter, "The control request was malformed.");
        return std::nullopt;
    }
    return std::nullopt;
}

int reportHandlerResult(const Store& store, std::optional<std::uint32_t> result) {
    if (!result) {
        return 1;
    }
    if (*result != 0) {
        return failure("ControlService", *result, "The control handler returned an error.");
    }
    if (auto record = current(store)) {
        printStatus(*record);
    }
    return 0;
}

int start(const Store& store) {
    auto record = current(store);
    if (!record) {
        return failure("StartService", kErrorServiceDoesNotExist,
                       "The specified service does not exist as an installed service.");
    }
    if (record->startType == 4) {
        return failure("StartService", kErrorServiceDisabled, "The service is disabled.");
    }
    if (record->status.currentState != scm::kStateStopped) {
        return failure("StartService", kErrorServiceAlreadyRunning,
                       "An instance of the service is already running.");
    }
    auto program = tarn::sc::resolveServiceCommandLine(record->binaryPathName);
    if (!program) {
        return failure("StartService", kErrorFileNotFound,
                       "The system cannot find the file specified: " +
                           toUtf8(record->binaryPathName));
    }
    const auto root = *sysRoot();
    const auto workDir = root / "Windows" / "System32";
    const auto logDir = workDir / "LogFiles" / "Services";
    std::error_code ec;
    std::filesystem::create_directories(logDir, ec);
    const auto logFile = logDir / (toUtf8(store.name) + ".log");

    std::vector<std::string> argStrings{program->program.string()};
    for (const auto& argument : program->arguments) {
        argStrings.push_back(toUtf8(argument));
    }
    std::vector<char*> argv;
    for (auto& a : argStrings) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const std::string nameUtf8 = toUtf8(store.name);

    int go[2];
    int execStatus[2];
    if (::pipe2(go, O_CLOEXEC) != 0 || ::pipe2(execStatus, O_CLOEXEC) != 0) {
        return failure("StartService", kErrorNotEnoughMemory, std::strerror(errno));
    }
    UniqueFd goRead(go[0]), goWrite(go[1]), statusRead(execStatus[0]), statusWrite(execStatus[1]);
    const pid_t child = ::fork();
    if (child < 0) {
        return failure("StartService", kErrorNotEnoughMemory, std::strerror(errno));
    }
    if (child == 0) {
        // The service's own session: it outlives tarn-sc and no terminal signal reaches it.
        ::setsid();
        const int devNull = ::open("/dev/null", O_RDONLY);
        const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
        }
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        ::setenv(kServiceNameVariable, nameUtf8.c_str(), 1);
        if (::chdir(workDir.c_str()) != 0) {
            // The working directory is a courtesy; the service uses full paths.
        }
        char byte = 0;
        // Wait until the store names this process, so that its first report cannot be lost.
        if (::read(goRead.get(), &byte, 1) == 1) {
            ::execv(argv[0], argv.data());
        }
        const int error = errno;
        [[maybe_unused]] const ssize_t n = ::write(statusWrite.get(), &error, sizeof error);
        ::_exit(127);
    }
    goRead = UniqueFd();
    statusWrite = UniqueFd();
    {
        StoreLock lock(store.directory);
        if (auto fresh = readServiceRecord(store.directory, store.name)) {
            fresh->status = ServiceStatus{};
            fresh->status.serviceType = fresh->serviceType;
            fresh->status.currentState = scm::kStateStartPending;
            fresh->processId = child;
            writeServiceRecord(store.directory, *fresh);
        }
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t sent = ::write(goWrite.get(), &byte, 1);
    int execError = 0;
    if (::read(statusRead.get(), &execError, sizeof execError) == sizeof execError) {
        ::waitpid(child, nullptr, 0);
        return failure("StartService", kErrorFileNotFound,
                       program->program.string() + ": " + std::strerror(execError));
    }

    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (auto after = current(store)) {
                printStatus(*after);
            }
            return failure("StartService", kErrorProcessAborted,
                           "The service process ended before it was running (exit status " +
                               std::to_string(code) + ").");
        }
        auto now = current(store);
        if (now && now->status.currentState == scm::kStateRunning) {
            printStatus(*now);
            return 0;
        }
        if (now && now->status.currentState == scm::kStateStopped) {
            printStatus(*now);
            return failure("StartService", kErrorProcessAborted,
                           "The service stopped before it was running.");
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return failure("StartService", kErrorServiceRequestTimeout,
                   "The service did not respond to the start or control request in a timely "
                   "fashion.");
}

int stop(const Store& store) {
    auto record = current(store);
    if (!record) {
        return failure("OpenService", kErrorServiceDoesNotExist,
                       "The specified service does not exist as an installed service.");
    }
    if (record->status.currentState == scm::kStateStopped) {
        return failure("ControlService", kErrorServiceNotActive,
                       "The service has not been started.");
    }
    const std::int64_t pid = record->processId;
    auto result = sendControl(store, {scm::kControlStop, 0, {}});
    if (!result) {
        return 1;
    }
    if (*result != 0) {
        return failure("ControlService", *result, "The control handler returned an error.");
    }
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto now = current(store);
        if (!now || now->status.currentState == scm::kStateStopped || !processAlive(pid)) {
            if (now) {
                printStatus(*now);
            }
            return 0;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return failure("ControlService", kErrorServiceRequestTimeout,
                   "The service did not stop in a timely fashion.");
}

int deviceEvent(const Store& store, std::uint32_t eventType, const Guid& interfaceClass,
                const std::string& interfaceName) {
    const auto words = makeDeviceInterfaceRecord(interfaceClass, fromUtf8(interfaceName));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(words.data());
    ControlRequest request{
        scm::kControlDeviceEvent, eventType, {bytes, bytes + words.size() * sizeof(std::uint32_t)}};
    auto result = sendControl(store, request);
    if (!result) {
        return 1;
    }
    std::printf("[SC] device event %u delivered to %s; the handler returned %u\n",
                static_cast<unsigned>(eventType), toUtf8(store.name).c_str(),
                static_cast<unsigned>(*result));
    return *result == 0 ? 0 : 1;
}

// As Windows' reg query prints a key of HKEY_LOCAL_MACHINE: a blank line; when the key has values,
// its full name, one line per value and a blank line; then the full name of each subkey.
int regQuery(std::string_view keyName) {
    auto path = splitKeyPath(fromUtf8(keyName));
    if (path.empty() || (!sameRegistryName(path.front(), L"HKLM") &&
                         !sameRegistryName(path.front(), kLocalMachine))) {
        std::cerr << "ERROR: Invalid key name.\n";
        return 1;
    }
    path.front() = kLocalMachine;
    const auto file = registryFile();
    StoredRegistry registry;
    if (file) {
        StoreLock lock(file->parent_path());
        registry = readRegistry(*file);
    }
    const auto* key = findKey(registry, path);
    if (key == nullptr && path.size() > 1) {
        std::cerr << "ERROR: The system was unable to find the specified registry key or value.\n";
        return 1;
    }
    const std::string name = toUtf8(joinKeyPath(path));
    std::vector<std::string> subkeys;
    for (const auto& sub : registry) {
        if (sub.path.size() == path.size() + 1 && isAtOrBelow(sub.path, path)) {
            subkeys.push_back(name + "\\" + toUtf8(sub.path.back()));
        }
    }
    const auto values = key ? key->values : std::vector<StoredValue>{};
    std::printf("\n");
    if (!values.empty() || subkeys.empty()) {
        std::printf("%s\n", name.c_str());
    }
    for (const auto& value : values) {
        if (value.type == kRegDword) {
            std::printf("    %s    REG_DWORD    0x%x\n", toUtf8(value.name).c_str(), value.number);
        } else {
            std::printf("    %s    REG_SZ    %s\n", toUtf8(value.name).c_str(),
                        toUtf8(value.text).c_str());
        }
    }
    if (!values.empty()) {
        std::printf("\n");
    }
    for (const auto& subkey : subkeys) {
        std::printf("%s\n", subkey.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return usage();
    }
    const std::string command = argv[1];
    if (command == "reg") {
        return argc == 4 && std::string_view(argv[2]) == "query" ? regQuery(argv[3]) : usage();
    }
    auto directory = serviceStoreDirectory();
    if (!directory) {
        return failure("OpenSCManager", kErrorAccessDenied,
                       std::string(kSysRootVariable) + " is not set.");
    }
    const Store store{*directory, fromUtf8(argv[2])};
    if (!isStorableName(store.name)) {
        return failure("OpenService", kErrorInvalidName, "The name is invalid.");
    }
    if (command == "start" && argc == 3) {
        return start(store);
    }
    if (command == "stop" && argc == 3) {
        return stop(store);
    }
    if (command == "query" && argc == 3) {
        auto record = current(store);
        if (!record) {
            return failure("EnumQueryServicesStatus:OpenService", kErrorServiceDoesNotExist,
                           "The specified service does not exist as an installed service.");
        }
        printStatus(*record);
        return 0;
    }
    if (!current(store)) {
        return failure("OpenService", kErrorServiceDoesNotExist,
                       "The specified service does not exist as an installed service.");
    }
    if (command == "control" && argc == 4) {
        auto code = tarn::sc::parseControlCode(argv[3]);
        if (!code || *code == scm::kControlDeviceEvent) {
            std::cerr << "tarn-sc: bad control code " << argv[3]
                      << " (device events go through device-event)\n";
            return usage();
        }
        return reportHandlerResult(store, sendControl(store, {*code, 0, {}}));
    }
    if (command == "device-event" && argc == 6) {
        auto eventType = tarn::sc::parseEventType(argv[3]);
        auto interfaceClass = parseGuid(argv[4]);
        if (!eventType || !interfaceClass) {
            std::cerr << "tarn-sc: bad event type or interface class\n";
            return usage();
        }
        return deviceEvent(store, *eventType, *interfaceClass, argv[5]);
    }
    if (command == "arrive" && argc == 4) {
        return deviceEvent(store, tarn::platform::kDeviceArrival, kTarnInterfaceClass, argv[3]);
    }
    return usage();
}
