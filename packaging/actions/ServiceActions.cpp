// The package's custom actions of its own, in a DLL that the package carries (its Binary table)
// and never installs. The ones in the installation's script take their data from
// CustomActionData: the full path of the installed service executable, unless said otherwise.
//
// WaitForServiceExit, run whenever the installation has stopped the service (a removal, a
// repair, an upgrade), before any file is replaced or removed, waits until no process runs the
// service executable any more. A service process that has
// reported "stopped" still runs for a moment: its dispatcher returns, and it goes on to install
// the service again, which fails as long as the service is registered. Were the removal to run
// in that moment, the dying process would register the service anew: an automatic-start service
// with critical error control, whose file the uninstallation is about to delete.
//
// RemoveServiceOnRollback undoes the installation's registration when a later step fails: it
// waits the same way, then removes the registration with the service's own removal, the one its
// "uninstall" runs. It does not run the installed executable for that, because some Windows
// Installer implementations have already deleted the installed files when rollback actions run.
//
// SaveForRollback and RestoreOnRollback keep a failed upgrade from taking the installed version
// with it. An upgrade installs over the older version's files, which it shares, and removes the
// older product only at its end. Windows Installer restores those files itself when the upgrade
// fails; Wine's msiexec removes them, with the event sources and the older product's place in
// the upgrade code's list, and leaves the service stopped. So the upgrade first copies the
// service directory aside, and its rollback puts back whatever is missing or changed, writes the
// event sources and the list again and starts the service; where the installer has restored
// everything itself, it finds nothing to do but the start. The copy goes when the upgrade
// commits (DropRollbackCopy).
//
// KeepUpgradeRegistration runs after an upgrade has removed the older product, which happens
// after this product is installed. Wine's msiexec, removing a product, drops the whole list of
// products under the upgrade code, this one's entry with it: the next upgrade would not find
// this product, and would install beside it. The action puts the entry back where it is missing;
// on Windows it finds it there and does nothing.
#include "ProcessWait.h"
#include "eventlog/EventSources.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/Service.h"
#include "platform/StandardOutput.h"
#include "platform/win32/UniqueHandles.h"
#include "service/ServiceHost.h"
#include "service/UpgradeService.h"

#include <algorithm>
#include <string>
#include <vector>
#include <windows.h>
// After windows.h:
#include <msi.h>
#include <msiquery.h>

namespace tarn {
namespace {

// The service's stop path takes milliseconds; a process still there after this is stuck, and the
// uninstallation fails (and rolls back) rather than remove a service whose process still runs.
constexpr DWORD kWaitLimitMs = 30000;

struct ScHandleTraits {
    static SC_HANDLE empty() { return nullptr; }
    static bool isEmpty(SC_HANDLE h) { return h == nullptr; }
    static void close(SC_HANDLE h) { CloseServiceHandle(h); }
};
using UniqueScHandle = platform::win32::UniqueResource<SC_HANDLE, ScHandleTraits>;

struct MsiHandleTraits {
    static MSIHANDLE empty() { return 0; }
    static bool isEmpty(MSIHANDLE h) { return h == 0; }
    static void close(MSIHANDLE h) { MsiCloseHandle(h); }
};
using UniqueMsiHandle = platform::win32::UniqueResource<MSIHANDLE, MsiHandleTraits>;

// A line in the installation's log (msiexec /l*v).
void log(MSIHANDLE install, const std::wstring& text) {
    const UniqueMsiHandle record(MsiCreateRecord(0));
    MsiRecordSetStringW(record.get(), 0, text.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

std::wstring property(MSIHANDLE install, const wchar_t* name) {
    wchar_t empty[1] = L"";
    DWORD size = 0;
    if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) {
        return {};
    }
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(size);
    return value;
}

std::wstring actionData(MSIHANDLE install) {
    return property(install, L"CustomActionData");
}

// A GUID "{01234567-89AB-CDEF-0123-456789ABCDEF}" as Windows Installer names its registry keys:
// each of the first three groups reversed, each later byte's two digits swapped. Empty when it is
// not a GUID in braces.
std::wstring packedGuid(const std::wstring& guid) {
    if (guid.size() != 38 || guid.front() != L'{' || guid.back() != L'}') {
        return {};
    }
    std::wstring digits;
    for (const wchar_t c : guid.substr(1, 36)) {
        if (c != L'-') {
            digits += c;
        }
    }
    if (digits.size() != 32) {
        return {};
    }
    std::wstring packed(digits.rend() - 8, digits.rend());
    packed.append(digits.rend() - 12, digits.rend() - 8);
    packed.append(digits.rend() - 16, digits.rend() - 12);
    for (std::size_t i = 16; i < 32; i += 2) {
        packed += digits[i + 1];
        packed += digits[i];
    }
    return packed;
}

bool isRelatedProduct(const std::wstring& upgradeCode, const std::wstring& productCode) {
    wchar_t related[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, related) == ERROR_SUCCESS;
         ++i) {
        if (CompareStringOrdinal(related, -1, productCode.c_str(), -1, TRUE) == CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

// Lists PRODUCT under UPGRADE where the installer's list of related products lacks it; false when
// it is still missing.
bool listUnderUpgradeCode(MSIHANDLE install, const std::wstring& upgradeCode,
                          const std::wstring& productCode) {
    if (isRelatedProduct(upgradeCode, productCode)) {
        return true;
    }
    const std::wstring packedUpgrade = packedGuid(upgradeCode);
    const std::wstring packedProduct = packedGuid(productCode);
    if (packedUpgrade.empty() || packedProduct.empty()) {
        log(install,
            L"no upgrade code or product code: \"" + upgradeCode + L"\", \"" + productCode + L"\"");
        return false;
    }
    // Where Windows Installer keeps the list, and where Wine's keeps it too.
    for (const wchar_t* list :
         {L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\",
          L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\"}) {
        const std::wstring key = list + packedUpgrade;
        const wchar_t empty[1] = L"";
        const LSTATUS status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(),
                                               packedProduct.c_str(), REG_SZ, empty, sizeof(empty));
        if (status != ERROR_SUCCESS) {
            log(install, L"writing " + key + L" failed: " + std::to_wstring(status));
            return false;
        }
    }
    log(install, productCode + L" listed again under " + upgradeCode);
    return isRelatedProduct(upgradeCode, productCode);
}

// The fields of an action's data, separated by '|' (which no path holds).
std::vector<std::wstring> fields(const std::wstring& data, wchar_t separator = L'|') {
    std::vector<std::wstring> result;
    std::size_t begin = 0;
    for (std::size_t end; (end = data.find(separator, begin)) != std::wstring::npos;
         begin = end + 1) {
        result.push_back(data.substr(begin, end - begin));
    }
    result.push_back(data.substr(begin));
    return result;
}

// Where an upgrade keeps the older version's files until it commits: the temporary folder of the
// account the installation's script runs as. Ends in a backslash.
std::wstring rollbackCopy() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp, length) + L"VantorTarnUpgradeRollback\\";
}

// The plain files in DIRECTORY (which ends in a backslash), by name.
std::vector<std::wstring> filesIn(const std::wstring& directory) {
    std::vector<std::wstring> names;
    for (std::wstring& name : platform::systemFileSystem().findFiles(directory + L"*")) {
        const DWORD attributes = GetFileAttributesW((directory + name).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

// The folder of the copy, and what is in it, gone.
void dropCopy(const std::wstring& copy) {
    for (const std::wstring& name : filesIn(copy)) {
        platform::systemFileSystem().deleteFile(copy + name);
    }
    RemoveDirectoryW(copy.c_str());
}

bool sameContent(const std::wstring& a, const std::wstring& b) {
    auto& files = platform::systemFileSystem();
    const auto first = files.openForReading(a);
    const auto second = files.openForReading(b);
    if (!first.file || !second.file) {
        return false;
    }
    std::vector<std::uint8_t> one(1 << 16);
    std::vector<std::uint8_t> other(1 << 16);
    for (;;) {
        // A read that fails counts as a difference: the copy is then put back.
        const auto read = first.file->read(one);
        const auto readOther = second.file->read(other);
        if (!read.failure.empty() || !readOther.failure.empty() || readOther.bytes != read.bytes ||
            !std::equal(one.begin(), one.begin() + static_cast<std::ptrdiff_t>(read.bytes),
                        other.begin())) {
            return false;
        }
        if (read.bytes == 0) {
            return true;
        }
    }
}

// The values the package writes for both event sources (see the package's EventMessages).
bool writeEventSources(const std::wstring& dll) {
    const DWORD types = 7;
    bool written = true;
    for (const wchar_t* source : {eventlog::kServiceSourceName, eventlog::kEngineSourceName}) {
        const std::wstring key =
            std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + source;
        written =
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"EventMessageFile", REG_EXPAND_SZ,
                            dll.c_str(), static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t))) ==
                ERROR_SUCCESS &&
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"TypesSupported", REG_DWORD, &types,
                            sizeof(types)) == ERROR_SUCCESS &&
            written;
    }
    return written;
}

// Starts the service; true when it runs.
bool startService() {
    const UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const UniqueScHandle service(
        manager ? OpenServiceW(manager.get(), service::kServiceName, SERVICE_START) : nullptr);
    return service && (StartServiceW(service.get(), 0, nullptr) ||
                       GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
}

// Waits until no process runs the executable at PATH; false when one still does at the limit.
bool waitForExit(MSIHANDLE install, const std::wstring& path) {
    using packaging::WaitOutcome;
    const WaitOutcome outcome =
        packaging::waitUntilNoProcessRuns(path, kWaitLimitMs, [&](DWORD id) {
            log(install, L"waiting for process " + std::to_wstring(id) + L" of " + path);
        });
    log(install, outcome == WaitOutcome::ended ? L"no process of " + path + L" is running"
                 : outcome == WaitOutcome::stillRuns
                     ? L"a process of " + path + L" is still running"
                     : L"the running processes cannot be listed");
    return outcome == WaitOutcome::ended;
}

} // namespace
} // namespace tarn

extern "C" __declspec(dllexport) UINT __stdcall WaitForServiceExit(MSIHANDLE install) {
    using namespace tarn;
    const std::wstring path = actionData(install);
    if (path.empty()) {
        log(install, L"WaitForServiceExit: no executable given");
        return ERROR_INSTALL_FAILURE;
    }
    return waitForExit(install, path) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

extern "C" __declspec(dllexport) UINT __stdcall RemoveServiceOnRollback(MSIHANDLE install) {
    using namespace tarn;
    const std::wstring path = actionData(install);
    if (!path.empty()) {
        waitForExit(install, path);
    }
    eventlog::EventLogReporter events(platform::systemEventLog(), eventlog::kServiceSourceName,
                                      eventlog::kServiceFirstEventId);
    upgrade::EngineContext engine{events, platform::processStandardOutput(),
                                  platform::systemProcesses(), platform::systemFileSystem(),
                                  platform::systemClock()};
    service::HostContext host{events, platform::systemServiceManager(),
                              platform::systemServiceRuntime(), engine};
    const int result = service::uninstallService(host);
    log(install, result == 0 ? L"RemoveServiceOnRollback: the service's registration is removed"
                             : L"RemoveServiceOnRollback: no registration removed");
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall KeepUpgradeRegistration(MSIHANDLE install) {
    using namespace tarn;
    return listUnderUpgradeCode(install, property(install, L"UpgradeCode"),
                                property(install, L"ProductCode"))
               ? ERROR_SUCCESS
               : ERROR_INSTALL_FAILURE;
}

extern "C" __declspec(dllexport) UINT __stdcall SaveForRollback(MSIHANDLE install) {
    using namespace tarn;
    const std::wstring directory = actionData(install);
    const std::wstring copy = rollbackCopy();
    dropCopy(copy);
    bool copied = CreateDirectoryW(copy.c_str(), nullptr);
    for (const std::wstring& name : filesIn(directory)) {
        copied = copied && CopyFileW((directory + name).c_str(), (copy + name).c_str(), FALSE);
    }
    if (!copied) {
        log(install, L"SaveForRollback: copying " + directory + L" to " + copy + L" failed: " +
                         std::to_wstring(GetLastError()));
        return ERROR_INSTALL_FAILURE;
    }
    log(install, L"SaveForRollback: " + directory + L" copied to " + copy);
    return ERROR_SUCCESS;
}

// Its data: the service directory, the upgrade code and the older products' codes (';' between
// them), '|' between the three.
extern "C" __declspec(dllexport) UINT __stdcall RestoreOnRollback(MSIHANDLE install) {
    using namespace tarn;
    std::vector<std::wstring> data = fields(actionData(install));
    data.resize(3);
    // The installer's undoing may have dropped the older products from the upgrade code's list.
    for (const std::wstring& product : fields(data[2], L';')) {
        listUnderUpgradeCode(install, data[1], product);
    }
    const std::wstring& directory = data[0];
    const std::wstring copy = rollbackCopy();
    // The installer's undoing may have taken the folders too.
    for (std::size_t end = directory.find(L'\\', 3); end != std::wstring::npos;
         end = directory.find(L'\\', end + 1)) {
        CreateDirectoryW(directory.substr(0, end).c_str(), nullptr);
    }
    int restored = 0;
    for (const std::wstring& name : filesIn(copy)) {
        if (!sameContent(copy + name, directory + name)) {
            const bool done = CopyFileW((copy + name).c_str(), (directory + name).c_str(), FALSE);
            log(install,
                L"RestoreOnRollback: " + directory + name +
                    (done ? L" restored" : L" not restored: " + std::to_wstring(GetLastError())));
            restored += done ? 1 : 0;
        }
    }
    const bool sources = writeEventSources(directory + L"TarnEventMessages.dll");
    const bool started = startService();
    log(install, L"RestoreOnRollback: " + std::to_wstring(restored) + L" files restored, " +
                     (sources ? L"event sources written, " : L"event sources not written, ") +
                     (started ? L"the service runs" : L"the service did not start"));
    dropCopy(copy);
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall DropRollbackCopy(MSIHANDLE) {
    tarn::dropCopy(tarn::rollbackCopy());
    return ERROR_SUCCESS;
}
