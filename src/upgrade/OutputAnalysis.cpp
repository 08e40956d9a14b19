// The analysis of dfu-util's output: each output line by line (analyseBuffer), a device line
// into the record (initDev), and the version decision (checkVersion).

#include "upgrade/OutputAnalysis.h"

#include "portable/Utf8.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <string_view>

namespace tarn::upgrade {

// analyseBuffer: what a dfu-util output says, line by line.
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
        context_.out.write(std::string("Can't find 'Done!' in ") + portable::toUtf8(line));
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

// initDev: one device line of a dfu-util output into the device record.
namespace {

constexpr wchar_t kActiveKey[] = L"active=";
constexpr wchar_t kVersionKey[] = L"ver=";
constexpr wchar_t kConfigKey[] = L"cfg=";
constexpr wchar_t kSerialKey[] = L"serial=";
constexpr wchar_t kRuntimeWord[] = L"Runtime";
constexpr wchar_t kDfuWord[] = L"DFU";

// What filled the record, in the order of precedence; the record starts with none.
constexpr int kRankCurrent = 1; // a Tarn with a mode that needs nothing
constexpr int kRankRuntime = 2; // a runtime Tarn whose version needs the package
constexpr int kRankDfu = 3;     // a Tarn in DFU mode

} // namespace

std::wstring getKeyValue(std::wstring_view line, std::wstring_view key) {
    const std::size_t at = line.find(key);
    if (at == std::wstring_view::npos) {
        return {};
    }
    const std::wstring_view rest = line.substr(at + key.size());
    return std::wstring(rest.substr(0, rest.find(L',')));
}

bool isWideSpace(wchar_t c) {
    // A wchar_t, not a char: a negative 32-bit value is no white space either way.
    // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c)
    const auto u = static_cast<std::uint32_t>(c);
    return (u >= 0x09 && u <= 0x0D) || u == 0x20 || u == 0x85 || u == 0xA0 || u == 0x1680 ||
           (u >= 0x2000 && u <= 0x200A) || u == 0x2028 || u == 0x2029 || u == 0x202F ||
           u == 0x205F || u == 0x3000;
}

std::wstring trim(std::wstring_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isWideSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isWideSpace(text[end - 1])) {
        --end;
    }
    return std::wstring(text.substr(begin, end - begin));
}

std::int32_t toInt32(std::wstring_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && isWideSpace(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == L'+' || text[pos] == L'-')) {
        negative = text[pos] == L'-';
        ++pos;
    }
    // Accumulate the magnitude up to just past the range, then clamp.
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
        magnitude = std::min(magnitude * 10 + (text[pos] - L'0'), kLimit);
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

std::wstring serialOf(std::wstring_view line) {
    std::wstring serial = getKeyValue(line, kSerialKey);
    std::erase(serial, L'"');
    return trim(serial);
}

bool hasWordAfterStart(std::wstring_view line, std::wstring_view word) {
    const std::size_t at = line.find(word);
    return at != std::wstring_view::npos && at != 0;
}

// Takes its own copy, as its callers are promised: nothing they hold is aliased.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void TarnUpgradeProcess::initDev(std::wstring devData) {
    auto& log = context_.log;
    auto& out = context_.out;
    log.reportEvent(EventType::Information, L"initDev devData= %s", devData);
    log.reportEvent(EventType::Information, L"enter initDev 1");

    const std::wstring active = getKeyValue(devData, kActiveKey);
    if (active == L"0") {
        log.reportEvent(EventType::Information, L"current config is not active. Its value is  %s",
                        active);
        return;
    }

    // The line is read whole into a record of its own: the pass's record comes from one Tarn,
    // never mixed from the lines of several.
    UpgradeDevice line;
    if (hasWordAfterStart(devData, kRuntimeWord)) {
        line.mode = kModeRuntime;
        out.write(L"updev.mode is " + std::to_wstring(line.mode) + L"\n");
        out.flush();
        log.reportEvent(EventType::Information, L"updev.mode is  %d", line.mode);
    } else if (hasWordAfterStart(devData, kDfuWord)) {
        line.mode = kModeDfu;
        out.write(L"updev.mode is " + std::to_wstring(line.mode) + L"\n");
        out.flush();
    } else {
        out.write(L"The status of the device is unkown. Its value is " + devData + L"\n");
        out.flush();
        return;
    }

    line.version = trim(getKeyValue(devData, kVersionKey));
    // Only our own detach or a download cut short leaves a Tarn in DFU mode, and there it has no
    // working firmware: it takes the package whatever its bootloader reports. A line without a
    // version is no device line of the tool's and still goes to the decision.
    bool takesPackage = false;
    if (line.mode == kModeDfu && !line.version.empty()) {
        log.reportEvent(EventType::Information,
                        L"initDev device in DFU mode (ver=%s) takes the package", line.version);
        takesPackage = true;
    } else {
        takesPackage = checkVersion(line.version);
    }
    if (takesPackage) {
        line.cfgId = toInt32(getKeyValue(devData, kConfigKey));
        out.write(L"updev.cfgId is " + std::to_wstring(line.cfgId) + L"\n");
        out.flush();
        log.reportEvent(EventType::Information, L"initDev updev.cfgId= %d", line.cfgId);

        line.sn = serialOf(devData);
        log.reportEvent(EventType::Information, L"initDev updev.sn= %s", line.sn);
        out.write(L"updev.sn is " + line.sn + L"\n");
        out.flush();

        log.reportEvent(EventType::Information, L"leave initDev");
    }

    // The first Tarn in DFU mode fills the record; without one, the first whose runtime version
    // needs the package; without either, the first line with a mode, which needs nothing.
    const int rank = !takesPackage ? kRankCurrent : line.mode == kModeDfu ? kRankDfu : kRankRuntime;
    if (rank <= recordRank_) {
        if (takesPackage) {
            log.reportEvent(EventType::Information, L"initDev device %s waits for a later pass",
                            line.sn);
        }
        return;
    }
    if (recordRank_ == kRankRuntime) {
        log.reportEvent(EventType::Information, L"initDev device %s waits for a later pass",
                        updev.sn);
    }
    updev = std::move(line);
    upgradeNeeded = takesPackage;
    recordRank_ = rank;
}

// The same words as initDev give the mode; a line with neither names no Tarn worth a record.
void TarnUpgradeProcess::noteListedTarn(std::wstring_view line) {
    ListedTarn tarn{serialOf(line).substr(0, kMaxListedText),
                    trim(getKeyValue(line, kVersionKey)).substr(0, kMaxListedText)};
    if (hasWordAfterStart(line, kRuntimeWord)) {
        tarn.mode = kModeRuntime;
    } else if (hasWordAfterStart(line, kDfuWord)) {
        tarn.mode = kModeDfu;
    } else {
        return;
    }
    const auto same =
        std::ranges::find_if(listedTarns, [&](const ListedTarn& t) { return t.sn == tarn.sn; });
    if (same != listedTarns.end()) {
        *same = std::move(tarn);
    } else if (listedTarns.size() < kMaxRecordedTarns) {
        listedTarns.push_back(std::move(tarn));
    }
}

// checkVersion: is the chosen package newer than what the device runs?
namespace {

// The UTF-16 code units of a string, one at a time: a 32-bit wchar_t beyond U+FFFF becomes
// its surrogate pair, so both builds order text alike.
class CodeUnits {
public:
    explicit CodeUnits(std::wstring_view text) : text_(text) {}

    bool next(std::uint32_t& unit) {
        if (pendingLow_ != 0) {
            unit = pendingLow_;
            pendingLow_ = 0;
            return true;
        }
        if (pos_ >= text_.size()) {
            return false;
        }
        // A wchar_t, not a char: its bits are the code unit or code point.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c)
        auto c = static_cast<std::uint32_t>(text_[pos_++]);
        if constexpr (sizeof(wchar_t) == 2) {
            unit = c & 0xFFFF;
        } else if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            unit = 0xD800 + (c >> 10);
            pendingLow_ = 0xDC00 + (c & 0x3FF);
        } else {
            unit = c;
        }
        return true;
    }

private:
    std::wstring_view text_;
    std::size_t pos_ = 0;
    std::uint32_t pendingLow_ = 0;
};

} // namespace

int compareCodeUnits(std::wstring_view a, std::wstring_view b) {
    CodeUnits left(a);
    CodeUnits right(b);
    while (true) {
        std::uint32_t l = 0;
        std::uint32_t r = 0;
        const bool hasLeft = left.next(l);
        const bool hasRight = right.next(r);
        if (!hasLeft || !hasRight) {
            return hasLeft ? 1 : (hasRight ? -1 : 0);
        }
        if (l != r) {
            return l < r ? -1 : 1;
        }
    }
}

// Takes its own copy, as its callers are promised: nothing they hold is aliased.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool TarnUpgradeProcess::checkVersion(std::wstring version) {
    using eventlog::EventType;
    auto& log = context_.log;
    if (forceUpgrade) {
        log.reportEvent(EventType::Information, L"Force upgrade flag is set - don't check SW REV!");
        return true;
    }
    if (version.empty()) {
        log.reportEvent(EventType::Information, L"curDev.version is null");
        return false;
    }
    log.reportEvent(EventType::Information, L"curDev.version is %s targetVersion is %s", version,
                    targetVersion);
    if (compareCodeUnits(targetVersion, version) > 0) {
        return true;
    }
    log.reportEvent(EventType::Information, L"The device is running same or newer version");
    return false;
}

} // namespace tarn::upgrade
