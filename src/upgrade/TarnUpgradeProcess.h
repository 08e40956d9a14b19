// The upgrade engine: one object per arrival event, driven by the worker thread.
#pragma once

#include "eventlog/EventLogReporter.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Power.h"
#include "platform/Processes.h"
#include "platform/StandardOutput.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tarn::upgrade {

// Outcome codes of initDfuDevList (1, 2, 7) and doUpgrade (3 to 7).
inline constexpr std::int32_t kOutcomeNoPackage = 1;       // no package prepared; tool not run
inline constexpr std::int32_t kOutcomeListed = 2;          // the listing ran and was analysed
inline constexpr std::int32_t kOutcomeDetached = 3;        // sent into DFU mode; it arrives again
inline constexpr std::int32_t kOutcomeWritten = 4;         // the download said "Done!"
inline constexpr std::int32_t kOutcomeDownloadFailed = 5;  // no start, "state(10)" or no "Done!"
inline constexpr std::int32_t kOutcomeNoUpgradeNeeded = 6; // same or newer firmware
inline constexpr std::int32_t kOutcomeGeneralFailure = 7;  // also the initial value

// Codes of doDevDetach, which doUpgrade ignores.
inline constexpr std::int32_t kDetachAlreadyDfu = 3;
inline constexpr std::int32_t kDetachRan = 4;
inline constexpr std::int32_t kDetachNotStarted = 5;
inline constexpr std::int32_t kDetachNoPipe = 7;

// Device modes in updev.mode.
inline constexpr std::int32_t kModeRuntime = 0;
inline constexpr std::int32_t kModeDfu = 1;
inline constexpr std::int32_t kModeNone = 2; // no device recognised

// Which dfu-util run produced an output.
inline constexpr std::int32_t kOutputListing = 0;
inline constexpr std::int32_t kOutputDetach = 1;
inline constexpr std::int32_t kOutputDownload = 2;

// The directory of dfu-util and of the firmware packages.
inline constexpr wchar_t kServiceDirectory[] = L"C:\\Program Files\\Vantor\\Tarn\\Services\\";

// The Tarn's USB identifiers, as dfu-util writes them.
inline constexpr wchar_t kVendorId[] = L"7c3e";
inline constexpr wchar_t kRuntimeProductId[] = L"5710";
inline constexpr wchar_t kDfuProductId[] = L"5711";

// How long the runner waits for the end of a dfu-util output, from the start of reading. A
// tool that hangs would otherwise hold the worker, and every later upgrade, for good.
struct RunnerBounds {
    std::chrono::milliseconds listingAndDetach{std::chrono::seconds(60)};
    std::chrono::milliseconds download{std::chrono::seconds(600)};
};

// Everything a pass uses of the world outside; tests hand in fakes.
struct EngineContext {
    eventlog::EventLogReporter& log;
    platform::StandardOutput& out;
    platform::Processes& processes;
    platform::FileSystem& files;
    platform::Clock& clock;
    RunnerBounds bounds{};
    // Held by a pass that detaches or downloads: a PC that sleeps would cut it.
    platform::Power& power = platform::systemPower();
    // Called while a pass waits, at most every kStillWaitingInterval and at least that often
    // besides the tool's start and the fixed 3 s and 5 s pauses: a stop that waits for the pass
    // says it is still coming.
    std::function<void()> stillWaiting{};
};

// A Tarn a listing showed, as its device line gave it, for the record the pass leaves.
struct ListedTarn {
    std::wstring sn;
    std::wstring version;
    std::int32_t mode = kModeNone;
};
// The most Tarns a pass notes, and the registry record keeps: a listing that floods device
// lines costs no more than this.
inline constexpr std::size_t kMaxRecordedTarns = 32;
// Serials and versions are noted up to this length: longer than any key name (64) or version
// (four digits) the record takes, so a line of megabytes is not copied whole.
inline constexpr std::size_t kMaxListedText = 256;
inline constexpr std::chrono::milliseconds kStillWaitingInterval{5000};

// The device as the dfu-util listing describes it.
struct UpgradeDevice {
    std::wstring version;
    std::int32_t cfgId = 0; // read only after initDev has set it
    std::wstring sn;
    std::int32_t mode = kModeNone;
};

class TarnUpgradeProcess {
public:
    TarnUpgradeProcess(EngineContext& context, bool force);
    ~TarnUpgradeProcess();

    TarnUpgradeProcess(const TarnUpgradeProcess&) = delete;
    TarnUpgradeProcess& operator=(const TarnUpgradeProcess&) = delete;

    // The two entry operations, called by the worker in this order.
    std::int32_t initDfuDevList();
    std::int32_t doUpgrade();

    // Package discovery: 1 when a package was chosen and its version read, -1 otherwise. The
    // chosen package stays open, shared with readers only, until releasePackage: what was
    // checked is what dfu-util flashes.
    std::int32_t initUpgradeInfo(std::wstring directory);
    void releasePackage();

    // The child-process runner. doCmd starts a command line with its output into `output`
    // (0, or negative when the start failed); handlePipeInfo drains the pipe, has the text
    // analysed and closes the read end (0).
    // With `drain`, the pipe's read end, the pause empties the pipe as it runs, so that the tool
    // never blocks on a full pipe (4 KiB on Windows); handlePipeInfo then judges all of it.
    std::int32_t doCmd(std::wstring& cmdLine, const platform::PipeWriteEnd& output,
                       std::int32_t pause, platform::PipeReadEnd* drain = nullptr);
    std::int32_t handlePipeInfo(platform::PipeReadEnd readEnd, std::int32_t outputKind);

    // Output analysis, device-line parsing and the version decision.
    void analyseBuffer(std::wstring output, std::int32_t outputKind);
    void initDev(std::wstring devData);
    bool checkVersion(std::wstring version);

    // The detach into DFU mode; doUpgrade ignores its code.
    std::int32_t doDevDetach(UpgradeDevice device);

    std::int32_t TarnUpdateResult = kOutcomeGeneralFailure; // NOLINT(readability-identifier-naming)
    bool retry = false;
    bool upgradeNeeded = false;
    UpgradeDevice updev;
    std::wstring packageName;
    std::wstring targetVersion;
    bool forceUpgrade;
    // Each Tarn the pass's listings showed, once per serial, in the order first shown; a later
    // line of the same serial replaces what an earlier one said.
    std::vector<ListedTarn> listedTarns;

private:
    // Keeps the system awake until the pass ends (the engine's destruction).
    void keepSystemAwake();
    void noteStillWaiting();
    void pauseWhileDraining(std::chrono::milliseconds pause, platform::PipeReadEnd* drain);

    void completionCheck(std::wstring_view line, std::wstring_view next, bool& finished);
    void reportDetachRefusal(std::wstring_view line);
    void deviceLineScan(std::wstring_view line);
    void noteListedTarn(std::wstring_view line);

    EngineContext& context_;
    // Which kind of device line filled updev (OutputAnalysis.cpp); 0 while none has.
    int recordRank_ = 0;
    // The child of the run in progress: ended when its output outlasts the bound, and its
    // handles closed when the run is over.
    platform::ChildProcess child_;
    // The chosen package, held from its check until the download has ended or the pass ends.
    std::unique_ptr<platform::BinaryFile> heldPackage_;
    // Refused packages already reported: a repeated listing does not report them again.
    std::set<std::wstring> refusalsReported_;
    // What the download's pause read of the tool's output, judged with the rest.
    std::string drained_;
    bool keptAwake_ = false;
    std::chrono::milliseconds lastStillWaiting_{};
};

} // namespace tarn::upgrade
