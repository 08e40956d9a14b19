// analyseBuffer, and the device-line parsing behind it, on arbitrary dfu-util output.
#include "FuzzSupport.h"
#include "fakes/FakeEventLog.h"
#include "fakes/FakePlatform.h"
#include "portable/Utf8.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <algorithm>
#include <string>
#include <vector>

using tarn::fuzz::require;
using namespace tarn::upgrade;

namespace {

// The examined lines, worked out apart from the scanner: every non-empty piece but the first
// (the banner); then one empty line when the text ends in two or more line feeds after a piece.
std::vector<std::wstring_view> examinedLines(std::wstring_view text) {
    std::vector<std::wstring_view> pieces;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = std::min(text.find(L'\n', pos), text.size());
        if (end > pos) {
            pieces.push_back(text.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    if (pieces.empty()) {
        return pieces;
    }
    const std::size_t last = text.find_last_not_of(L'\n');
    const bool trailingEmpty = text.size() - 1 - last >= 2;
    pieces.erase(pieces.begin());
    if (trailingEmpty) {
        pieces.emplace_back();
    }
    return pieces;
}

bool contains(std::wstring_view line, std::wstring_view text) {
    return line.find(text) != std::wstring_view::npos;
}

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    // Byte 0: output kind, starting mode, force flag and text encoding; byte 1: the target
    // version's low byte (the high one is 01), so that both decisions occur.
    const std::int32_t kind = (data[0] & 0x03) % 3;
    const std::int32_t mode = ((data[0] >> 2) & 0x03) % 3;
    const bool force = (data[0] & 0x10) != 0;
    const bool utf8 = (data[0] & 0x20) != 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::wstring output = utf8 ? tarn::portable::fromUtf8(bytes) : tarn::fuzz::widen(bytes);

    tarn::fakes::FakeEventLog eventLog;
    tarn::eventlog::EventLogReporter log{eventLog, L"TarnUpgradeProcess", 21};
    tarn::fakes::RecordingOutput out;
    tarn::fakes::FakeClock clock;
    tarn::fakes::FakeProcesses processes{clock};
    tarn::fakes::FakeFileSystem files;
    EngineContext context{log, out, processes, files, clock};
    TarnUpgradeProcess engine(context, force);
    engine.updev.mode = mode;
    engine.targetVersion = tarn::eventlog::formatWide(L"01%02x", static_cast<unsigned>(data[1]));

    engine.analyseBuffer(output, kind);

    const std::vector<std::wstring_view> lines = examinedLines(output);

    const auto& updev = engine.updev;
    if (kind == kOutputDownload && mode == kModeDfu) {
        // A download's verdict: the first line that settles it, else a failure once any line
        // came, else nothing changes.
        std::int32_t expected = kOutcomeGeneralFailure;
        for (std::wstring_view line : lines) {
            if (contains(line, L"Done!")) {
                expected = kOutcomeWritten;
                break;
            }
            expected = kOutcomeDownloadFailed;
            if (contains(line, L"state(10)")) {
                break;
            }
        }
        require(engine.TarnUpdateResult == expected, "the download verdict");
        require(updev.mode == kModeDfu && updev.sn.empty() && !engine.upgradeNeeded,
                "a download's output never changes the device record");
        return 0;
    }

    // A download that starts outside DFU mode can switch to the completion check once a
    // device line has set the mode; other runs never set an outcome.
    if (kind != kOutputDownload) {
        require(engine.TarnUpdateResult == kOutcomeGeneralFailure, "a listing sets no outcome");
    }
    bool anyDeviceLine = false;
    for (std::wstring_view line : lines) {
        anyDeviceLine =
            anyDeviceLine || contains(line, L"7c3e:5710") || contains(line, L"7c3e:5711");
    }
    if (!anyDeviceLine) {
        require(updev.mode == mode && updev.sn.empty() && updev.version.empty() &&
                    !engine.upgradeNeeded,
                "without a Tarn line the record stays as it was");
        return 0;
    }
    require(updev.sn.find(L'"') == std::wstring::npos, "the serial holds no quote");
    require(updev.sn.find(L',') == std::wstring::npos, "the serial holds no comma");
    require(updev.version.find(L',') == std::wstring::npos, "the version holds no comma");
    require(updev.sn.empty() || (!isBlank(updev.sn.front()) && !isBlank(updev.sn.back())),
            "the serial is trimmed");
    // The serial and configuration are taken only from a line the decision said yes to.
    require(engine.upgradeNeeded || (updev.sn.empty() && updev.cfgId == 0),
            "no serial or configuration without an upgrade");
    return 0;
}
