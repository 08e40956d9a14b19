// Whole listing, detach and download passes of the Windows build: the real Win32 runner and
// file calls, the real service directory, and the simulator as dfu-util.
#include "WineSupport.h"
#include "fakes/FakeEventLog.h"
#include "platform/Registry.h"
#include "service/ServiceHost.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <functional>
#include <gtest/gtest.h>
#include <sddl.h>

namespace tarn::upgrade {
namespace {

using winetest::ServiceDirectory;

constexpr wchar_t kPlanted[] = L"C:\\Program.exe";
constexpr wchar_t kPlantedMarker[] = L"C:\\planted-program-ran";

// Skips the fixed waits and looks at the service directory at each: while a download runs, at
// its 200-second pause and the pause after each read of its output.
class LookingClock final : public platform::Clock {
public:
    std::function<void()> look;

    void sleep(Duration duration) override {
        if (look) {
            look();
        }
        fast_.sleep(duration);
    }
    Duration now() override { return fast_.now(); }
    std::chrono::sys_seconds utcNow() override { return fast_.utcNow(); }
    Duration slept() const { return fast_.slept(); }

private:
    winetest::FastClock fast_;
};

class WineEngine : public ::testing::Test {
protected:
    ServiceDirectory services;
    fakes::FakeEventLog eventLog;
    eventlog::EventLogReporter log{eventLog, L"TarnUpgradeProcess", 21};
    fakes::RecordingOutput out;
    LookingClock clock;
    EngineContext context{log, out, platform::systemProcesses(), platform::systemFileSystem(),
                          clock};

    void SetUp() override {
        ASSERT_TRUE(services.installSimulator(winetest::windowsPathOf(TARN_SIMULATOR)));
        ASSERT_TRUE(ServiceDirectory::makePackage(L"fw-0103.dfu", L"0103"));
    }
    void TearDown() override {
        DeleteFileW(kPlanted);
        DeleteFileW(kPlantedMarker);
    }

    static void addDevice(const std::wstring& serial, const std::wstring& mode,
                          const std::wstring& version) {
        ASSERT_TRUE(ServiceDirectory::sim(L"add " + serial + L" --mode " + mode + L" --version " +
                                          version));
    }
    static void fault(const std::wstring& serial, const std::wstring& setting) {
        ASSERT_TRUE(ServiceDirectory::sim(L"set " + serial + L" " + setting));
    }
    static std::string device(const std::wstring& serial) {
        return ServiceDirectory::sim(L"show " + serial).value_or("(show failed)");
    }
    static bool has(const std::string& text, const char* part) {
        return text.find(part) != std::string::npos;
    }

    // One arrival's pass, as the worker runs it: the listing's failure code negated.
    std::int32_t pass() {
        TarnUpgradeProcess engine(context, false);
        const std::int32_t listed = engine.initDfuDevList();
        return listed == kOutcomeListed ? engine.doUpgrade() : -listed;
    }

    // The simulator announces after it has closed its output, so the pass may return first.
    static std::vector<std::string> announcementsWhenThere(std::size_t count) {
        winetest::waitUntil([&] { return ServiceDirectory::announcements().size() >= count; });
        return ServiceDirectory::announcements();
    }
};

TEST_F(WineEngine, TwoPassesUpgradeARuntimeDevice) {
    addDevice(L"SN0001", L"runtime", L"0102");

    TarnUpgradeProcess listing(context, false);
    ASSERT_EQ(listing.initDfuDevList(), kOutcomeListed);
    EXPECT_EQ(listing.updev.mode, kModeRuntime);
    EXPECT_EQ(listing.updev.sn, L"SN0001");
    EXPECT_EQ(listing.updev.version, L"0102");
    EXPECT_EQ(listing.updev.cfgId, 1);
    EXPECT_EQ(listing.packageName, L"fw-0103.dfu");
    EXPECT_EQ(listing.targetVersion, L"0103");
    EXPECT_TRUE(listing.upgradeNeeded);

    EXPECT_EQ(listing.doUpgrade(), kOutcomeDetached);
    EXPECT_TRUE(has(device(L"SN0001"), "dfu"));
    const auto events = announcementsWhenThere(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].rfind("removal ", 0), 0u);
    EXPECT_EQ(events[1].rfind("arrival ", 0), 0u);
    EXPECT_TRUE(has(events[1], "PID_5711"));
    // The fixed waits were asked for, not slept: the detach's 5000 ms and the 3000 ms after it.
    EXPECT_GE(clock.slept(), std::chrono::milliseconds(8000));

    TarnUpgradeProcess download(context, false);
    ASSERT_EQ(download.initDfuDevList(), kOutcomeListed);
    EXPECT_EQ(download.updev.mode, kModeDfu);
    EXPECT_EQ(download.doUpgrade(), kOutcomeWritten);
    EXPECT_TRUE(eventLog.contains(L"doCmd enter sleep"));
    EXPECT_TRUE(eventLog.contains(L"TarnUpdateResult is 4"));
    const std::string after = device(L"SN0001");
    EXPECT_TRUE(has(after, "runtime")) << after;
    EXPECT_TRUE(has(after, "0103")) << after;
    EXPECT_TRUE(has(announcementsWhenThere(4).back(), "PID_5710"));

    // Back in runtime mode with the new firmware: nothing more to do, and the package stays.
    EXPECT_EQ(pass(), kOutcomeNoUpgradeNeeded);
    EXPECT_TRUE(eventLog.contains(L"return for latest build!"));
    EXPECT_TRUE(ServiceDirectory::exists(ServiceDirectory::path(L"fw-0103.dfu")));
}

TEST_F(WineEngine, DownloadFailures) {
    addDevice(L"SN0001", L"dfu", L"0102");

    fault(L"SN0001", L"fault.download=error");
    EXPECT_EQ(pass(), kOutcomeDownloadFailed);
    EXPECT_TRUE(eventLog.contains(L"TarnUpdateResult is 5"));
    EXPECT_TRUE(has(device(L"SN0001"), "dfu"));

    // A tool that never ends is ended at the bound, and the next pass is not held up by it.
    fault(L"SN0001", L"fault.download=hang");
    context.bounds.download = std::chrono::seconds(2);
    EXPECT_EQ(pass(), kOutcomeDownloadFailed);
    EXPECT_TRUE(eventLog.contains(L"handlePipeInfo timeout, dfu-util terminated"));

    fault(L"SN0001", L"fault.download=none");
    context.bounds.download = std::chrono::seconds(60);
    EXPECT_EQ(pass(), kOutcomeWritten);
    EXPECT_TRUE(has(device(L"SN0001"), "0103"));
}

// A default pipe holds 4 KiB on Windows and under Wine (64 KiB on Linux): a tool that writes
// more during the download's pause must not wait for its end. Its whole output, the verdict at
// its end, is judged after the pause.
TEST_F(WineEngine, TheDownloadsPauseEmptiesThePipeAsTheToolWrites) {
    EngineContext real{log, out, platform::systemProcesses(), platform::systemFileSystem(),
                       platform::systemClock()};
    TarnUpgradeProcess engine(real, false);
    engine.updev.mode = kModeDfu;
    winetest::ScratchFolder scratch;
    const std::wstring marker = scratch / L"wrote-all";
    auto pipe = platform::systemProcesses().createPipe();
    ASSERT_TRUE(pipe);
    std::wstring command = L"\"" + winetest::windowsPathOf(TARN_ARGV_ECHO) +
                           L"\" out banner hex 0a fill 65536 touch " + marker + L" out Done!";
    ASSERT_EQ(engine.doCmd(command, pipe->write, 6000, &pipe->read), 0);
    EXPECT_NE(GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES)
        << "the tool was still writing when the pause ended";
    pipe->write.reset();
    engine.handlePipeInfo(std::move(pipe->read), kOutputDownload);
    EXPECT_EQ(engine.TarnUpdateResult, kOutcomeWritten);
}

TEST_F(WineEngine, AMissingToolFailsTheListing) {
    ASSERT_TRUE(DeleteFileW(ServiceDirectory::tool().c_str()));
    EXPECT_EQ(pass(), -kOutcomeGeneralFailure);
    EXPECT_TRUE(eventLog.contains(L"CreateProcess Failed!"));
}

// A NUL would end the command line early where CreateProcessW reads it: such a line is refused
// before the call, as a start that failed.
TEST_F(WineEngine, ASerialWithANulIsNeverPutOnACommandLine) {
    ASSERT_TRUE(CopyFileW(winetest::windowsPathOf(TARN_NUL_SERIAL_TOOL).c_str(),
                          ServiceDirectory::tool().c_str(), FALSE));
    TarnUpgradeProcess engine(context, false);
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    ASSERT_EQ(engine.updev.mode, kModeDfu);
    EXPECT_EQ(engine.updev.sn, std::wstring(L"SN\0"
                                            L"001",
                                            6));

    EXPECT_EQ(engine.doUpgrade(), kOutcomeDownloadFailed);
    EXPECT_EQ(eventLog.texts().back(), L"CreateProcess Failed!");
    EXPECT_FALSE(eventLog.contains(L"doCmd enter sleep"));
    EXPECT_FALSE(ServiceDirectory::exists(ServiceDirectory::path(L"tool-ran")));
}

TEST_F(WineEngine, APackageCutShortIsNeverFlashed) {
    addDevice(L"SN0001", L"dfu", L"0102");
    const std::wstring package = ServiceDirectory::path(L"fw-0103.dfu");
    HANDLE file = CreateFileW(package.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER half{};
    half.QuadPart = 30000;
    const bool cut = SetFilePointerEx(file, half, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(cut);

    EXPECT_EQ(pass(), -kOutcomeNoPackage);
    EXPECT_TRUE(eventLog.contains(L"package C:\\Program Files\\Vantor\\Tarn\\Services\\"
                                  L"fw-0103.dfu has no valid DFU suffix: bad signature"));
    for (const auto& text : eventLog.texts()) {
        EXPECT_EQ(text.find(L"doCmd"), std::wstring::npos) << "the tool was run";
    }
    EXPECT_TRUE(ServiceDirectory::exists(package));
    EXPECT_TRUE(has(device(L"SN0001"), "0102"));
}

// How another program's open, rename or delete of a file goes: 0, or the error.
DWORD outcome(BOOL done) {
    return done ? 0 : GetLastError();
}
DWORD openAs(const std::wstring& path, DWORD access) {
    HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    return outcome(file != INVALID_HANDLE_VALUE && CloseHandle(file));
}

// What was checked is what is flashed: from its check to the end of its download run, the
// chosen package, and no other, can be read but not changed, renamed or deleted.
TEST_F(WineEngine, TheChosenPackageIsHeldUntilItsDownloadHasEnded) {
    addDevice(L"SN0001", L"dfu", L"0102");
    // Made after fw-0103.dfu: the choice, by name, is neither the oldest package nor the newest.
    ASSERT_TRUE(ServiceDirectory::makePackage(L"fw-0104.dfu", L"0104"));
    ASSERT_TRUE(ServiceDirectory::makePackage(L"fw-0102.dfu", L"0102"));
    const std::wstring package = ServiceDirectory::path(L"fw-0104.dfu");
    const std::wstring other = ServiceDirectory::path(L"fw-0102.dfu");
    const std::wstring renamed = ServiceDirectory::path(L"fw-0104.old");
    TarnUpgradeProcess engine(context, false);
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    EXPECT_EQ(engine.targetVersion, L"0104");
    ASSERT_TRUE(ServiceDirectory::exists(other)); // the last step's discard stays
    EXPECT_EQ(openAs(package, GENERIC_WRITE), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_EQ(outcome(MoveFileW(package.c_str(), renamed.c_str())), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_EQ(outcome(DeleteFileW(package.c_str())), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_EQ(openAs(package, GENERIC_READ), 0u);

    std::vector<DWORD> chosen;
    std::vector<DWORD> others;
    clock.look = [&] {
        chosen.push_back(openAs(package, GENERIC_WRITE));
        others.push_back(openAs(other, GENERIC_WRITE));
    };
    EXPECT_EQ(engine.doUpgrade(), kOutcomeWritten); // dfu-util read it while it was held
    clock.look = nullptr;
    ASSERT_FALSE(chosen.empty());
    EXPECT_EQ(chosen, std::vector<DWORD>(chosen.size(), ERROR_SHARING_VIOLATION));
    EXPECT_EQ(others, std::vector<DWORD>(others.size(), 0));
    EXPECT_TRUE(has(device(L"SN0001"), "0104"));

    EXPECT_EQ(openAs(package, GENERIC_WRITE), 0u);
    EXPECT_EQ(outcome(MoveFileW(package.c_str(), renamed.c_str())), 0u);
    EXPECT_EQ(outcome(DeleteFileW(renamed.c_str())), 0u);
}

// The search matches *.dfu against 8.3 short names too, on Windows as under Wine: files whose
// own names do not end in .dfu (in any case) come back from it, and are neither named, chosen
// nor deleted.
TEST_F(WineEngine, OnlyNamesEndingInDfuArePackages) {
    ASSERT_TRUE(ServiceDirectory::makePackage(L"fw-0104.DFU", L"0104"));
    const std::wstring others[] = {L"fw.dfuold", L"fw-0104.dfupart", L"long name here.dfu2"};
    for (const auto& name : others) {
        ASSERT_TRUE(ServiceDirectory::makePackage(name, L"0105"));
    }
    ASSERT_EQ(platform::systemFileSystem().findFiles(ServiceDirectory::path(L"*.dfu")).size(), 5u);

    TarnUpgradeProcess engine(context, false);
    ASSERT_EQ(engine.initUpgradeInfo(ServiceDirectory::kPath), 1);
    EXPECT_EQ(engine.packageName, L"fw-0104.DFU");
    EXPECT_EQ(engine.targetVersion, L"0104");
    for (const auto& name : others) {
        EXPECT_TRUE(ServiceDirectory::exists(ServiceDirectory::path(name))) << "deleted";
        for (const auto& text : eventLog.texts()) {
            EXPECT_EQ(text.find(name), std::wstring::npos) << text;
        }
    }
}

TEST_F(WineEngine, NoPackageNeverRunsTheTool) {
    addDevice(L"SN0001", L"runtime", L"0102");
    ASSERT_TRUE(DeleteFileW(ServiceDirectory::path(L"fw-0103.dfu").c_str()));
    EXPECT_EQ(pass(), -kOutcomeNoPackage);
    EXPECT_TRUE(eventLog.contains(L"initUpgradeInfo Failed C:\\Program Files\\Vantor\\Tarn\\"
                                  L"Services\\!"));
    for (const auto& text : eventLog.texts()) {
        EXPECT_EQ(text.find(L"doCmd"), std::wstring::npos) << "the tool was run";
    }
}

TEST_F(WineEngine, APlantedProgramExeIsNeverRun) {
    // Unquoted, "C:\Program Files\Vantor\..." makes Windows try C:\Program.exe first.
    ASSERT_TRUE(CopyFileW(winetest::windowsPathOf(TARN_MARKER_PROGRAM).c_str(), kPlanted, FALSE));
    DeleteFileW(kPlantedMarker);
    // The trap works: the tool's path left unquoted runs the planted program instead.
    const auto trap = winetest::runProgram(ServiceDirectory::tool() + L" -l");
    ASSERT_TRUE(trap.started);
    ASSERT_TRUE(ServiceDirectory::exists(kPlantedMarker));
    ASSERT_TRUE(DeleteFileW(kPlantedMarker));

    addDevice(L"SN0001", L"runtime", L"0102");
    TarnUpgradeProcess engine(context, false);
    ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
    EXPECT_EQ(engine.updev.mode, kModeRuntime); // the simulator answered
    EXPECT_EQ(engine.doUpgrade(), kOutcomeDetached);
    EXPECT_EQ(pass(), kOutcomeWritten);
    EXPECT_FALSE(ServiceDirectory::exists(kPlantedMarker));
}

// The accounts a key's permissions let change it (allowed entries with a right to write), as
// SID strings; "null DACL" when everybody may.
std::vector<std::wstring> writersOf(HKEY key) {
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size) !=
            ERROR_SUCCESS ||
        !GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present ||
        dacl == nullptr) {
        return {L"null DACL"};
    }
    constexpr ACCESS_MASK kWrite = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | WRITE_DAC | WRITE_OWNER |
                                   DELETE | GENERIC_WRITE | GENERIC_ALL;
    std::vector<std::wstring> writers;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
            ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            (ace->Header.AceFlags & INHERIT_ONLY_ACE) == 0 && (ace->Mask & kWrite) != 0) {
            wchar_t* text = nullptr;
            ConvertSidToStringSidW(&ace->SidStart, &text);
            writers.emplace_back(text);
            LocalFree(text);
        }
    }
    return writers;
}

// The record as the worker writes it, through the real registry, read back with the registry's
// own calls.
TEST_F(WineEngine, APassLeavesItsRecordInTheRegistry) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor");
    // 32 Tarns seen before, T0 longest ago: the new one takes its place.
    auto devices = platform::systemRegistry().createKey(L"SOFTWARE\\Vantor\\Tarn\\Devices");
    ASSERT_TRUE(devices.key);
    for (int n = 0; n < 32; ++n) {
        auto key = devices.key->createSubkey(L"T" + std::to_wstring(n));
        ASSERT_TRUE(key.key);
        EXPECT_EQ(key.key->setString(L"LastSeen", L"2026-01-01T00:00:" + std::to_wstring(10 + n)),
                  0u);
    }
    addDevice(L"SN0001", L"runtime", L"0102");
    eventlog::EventLogReporter serviceLog{eventLog, L"VantorTarnWindowsUpdateService", 1};
    service::HostContext host{
        serviceLog, platform::systemServiceManager(), platform::systemServiceRuntime(),
        context,    &platform::systemRegistry(),      L"1.0.0.0"};
    {
        TarnUpgradeProcess engine(context, false);
        ASSERT_EQ(engine.initDfuDevList(), kOutcomeListed);
        service::recordPass(host, engine, engine.doUpgrade());
    }
    for (const auto& logged : eventLog.texts()) {
        EXPECT_FALSE(logged.starts_with(L"registry record not written")) << logged;
    }

    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor\\Tarn\\Devices\\SN0001", 0,
                            KEY_READ, &raw),
              ERROR_SUCCESS);
    const auto text = [&](const wchar_t* name) {
        wchar_t data[64] = {};
        DWORD size = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        EXPECT_EQ(RegQueryValueExW(raw, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, DWORD{REG_SZ}) << name;
        return std::wstring(data);
    };
    EXPECT_EQ(text(L"FirmwareVersion"), L"0102");
    EXPECT_EQ(text(L"Mode"), L"runtime");
    EXPECT_EQ(text(L"LastOutcomeText"), L"detached into DFU mode");
    EXPECT_EQ(text(L"LastPackage"), L"fw-0103.dfu");
    EXPECT_EQ(text(L"LastSeen").size(), 20u);
    DWORD outcome = 0;
    DWORD size = sizeof outcome;
    EXPECT_EQ(
        RegGetValueW(raw, nullptr, L"LastOutcome", RRF_RT_REG_DWORD, nullptr, &outcome, &size),
        ERROR_SUCCESS);
    EXPECT_EQ(outcome, 3u);
    // Only administrators and SYSTEM may change it. Wine gives each key a default descriptor of
    // its own where Windows passes HKEY_LOCAL_MACHINE\SOFTWARE's on; both grant writing only to
    // these two.
    for (const auto& writer : writersOf(raw)) {
        EXPECT_TRUE(writer == L"S-1-5-32-544" || writer == L"S-1-5-18") << writer;
    }
    EXPECT_FALSE(writersOf(raw).empty());
    RegCloseKey(raw);

    DWORD subkeys = 0;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor\\Tarn\\Devices", 0, KEY_READ, &raw),
        ERROR_SUCCESS);
    RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    EXPECT_EQ(subkeys, 32u);
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExW(raw, L"T0", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
    RegCloseKey(raw);
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor"), ERROR_SUCCESS);
}

} // namespace
} // namespace tarn::upgrade
