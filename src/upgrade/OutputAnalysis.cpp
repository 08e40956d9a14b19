// analyseBuffer: what a dfu-util output says, line by line.
#include "platform/Utf8.h"
#include "upgrade/OutputLines.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <string_view>

namespace tarn::upgrade {
namespace {

using eventlog::EventType;

constexpr wchar_t kRuntimeDeviceId[] = L"7c3e:5710";
constexpr wchar_t kDfuDeviceId[] = L"7c3e:5711";
constexpr wchar_t kDoneMarker[] = L"Done!";
constexpr wchar_t kErrorStateMarker[] = L"state(10)";
// What dfu-util prints on the line after the error state when it clears it and goes on.
constexpr wchar_t kClearingStatus[] = L"Clearing status";
// What dfu-util prints when it refuses a detach: a Tarn already in DFU mode, several
// matches, none.
constexpr std::wstring_view kDetachRefusals[] = {L"can't detach",
                                                 L"More than one DFU capable USB device found",
                                                 L"No DFU capable USB device available"};

bool contains(std::wstring_view line, std::wstring_view text) {
    return line.find(text) != std::wstring_view::npos;
}

bool isTarnLine(std::wstring_view line) {
    return contains(line, kRuntimeDeviceId) || contains(line, kDfuDeviceId);
}

} // namespace

void TarnUpgradeProcess::completionCheck(std::wstring_view line, std::wstring_view next,
                                         bool& finished) {
    auto& log = context_.log;
    if (!contains(line, kDoneMarker) && contains(line, kErrorStateMarker) &&
        contains(next, kClearingStatus)) {
        // A device left in its error state (a refused detach, a stalled block): the tool clears
        // it and downloads, so what follows decides.
        log.reportEvent(EventType::Information, L"analyseBuffer error state cleared: strTmp=%s",
                        line);
        TarnUpdateResult = kOutcomeDownloadFailed;
    } else if (contains(line, kDoneMarker)) {
        log.reportEvent(EventType::Information, L"analyseBuffer Upgrade check SUCCESS: strTmp=%s",
                        line);
        TarnUpdateResult = kOutcomeWritten;
        finished = true;
    } else if (contains(line, kErrorStateMarker)) {
        log.reportEvent(EventType::Information, L"analyseBuffer Upgrade check ERROR: strTmp=%s",
                        line);
        TarnUpdateResult = kOutcomeDownloadFailed;
        finished = true;
    } else {
        context_.out.write(std::string("Can't find 'Done!' in ") + platform::toUtf8(line));
        log.reportEvent(EventType::Information, L" Can't find 'Done!' in %s", line);
        TarnUpdateResult = kOutcomeDownloadFailed;
    }
}

// The pass's outcome stays what it is: the warning tells why no arrival will follow.
void TarnUpgradeProcess::reportDetachRefusal(std::wstring_view line) {
    for (const std::wstring_view refusal : kDetachRefusals) {
        if (contains(line, refusal)) {
            context_.log.reportEvent(EventType::Warning, L"doDevDetach dfu-util refused: %s", line);
            return;
        }
    }
}

void TarnUpgradeProcess::deviceLineScan(std::wstring_view line) {
    if (isTarnLine(line)) {
        initDev(std::wstring(line));
    }
}

// Takes its own copy, as its callers are promised: nothing they hold is aliased.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void TarnUpgradeProcess::analyseBuffer(std::wstring output, std::int32_t outputKind) {
    OutputLines lines(output);
    // The tool's first line is its banner: never examined, but a refusal on standard error may
    // come before it.
    const std::wstring_view banner = lines.take();
    if (outputKind == kOutputDetach) {
        reportDetachRefusal(banner);
    }
    bool finished = false;
    while (!finished && lines.hasMore()) {
        const std::wstring_view strTmp = lines.take();
        context_.log.reportEvent(EventType::Information, L"analyseBuffer strTmp= %s", strTmp);
        if (outputKind == kOutputDownload && updev.mode == kModeDfu) {
            completionCheck(strTmp, lines.peek(), finished);
        } else {
            if (outputKind == kOutputDetach) {
                reportDetachRefusal(strTmp);
            }
            deviceLineScan(strTmp);
            // Only a listing names every Tarn; the detach's output names the one it detached.
            if (outputKind == kOutputListing && isTarnLine(strTmp)) {
                noteListedTarn(strTmp);
            }
        }
    }
    if (!finished) {
        context_.log.reportEvent(EventType::Information, L"analyseBuffer updev.mode %d",
                                 updev.mode);
    }
}

} // namespace tarn::upgrade
