// doCmd and handlePipeInfo: one dfu-util run, judged by its output alone.
#include "upgrade/TarnUpgradeProcess.h"

#include <algorithm>
#include <array>
#include <utility>

namespace tarn::upgrade {
namespace {

using eventlog::EventType;
using std::chrono::milliseconds;

constexpr std::size_t kReadBufferSize = 4096;
constexpr std::size_t kReadSize = kReadBufferSize - 1;
constexpr milliseconds kPauseAfterRead{100};
// At the bound the pipe is read on without waiting: a finished tool can have left at most a
// pipe's buffer behind (4 KiB on Windows, 64 KiB on Linux by default); more than this is a
// tool still writing.
constexpr int kLastLookReads = 256; // about 1 MiB

} // namespace

// The pause is slept whole, in the runner's rhythm: one look at the pipe, at most one read's
// worth, then 100 ms. The tool's output thus never fills the pipe (a progress line a second
// fills Windows' 4 KiB in about a minute) and costs at most what the reads after the pause cost.
void TarnUpgradeProcess::pauseWhileDraining(milliseconds pause, platform::PipeReadEnd* drain) {
    std::array<char, kReadBufferSize> buffer{};
    while (pause > milliseconds::zero()) {
        if (drain != nullptr) {
            const auto result =
                drain->read(std::span<char>(buffer.data(), kReadSize), milliseconds::zero());
            if (result.status == platform::PipeReadEnd::Status::Data) {
                drained_.append(buffer.data(), result.bytes);
            }
        }
        const milliseconds step = std::min(pause, kPauseAfterRead);
        context_.clock.sleep(step);
        pause -= step;
        noteStillWaiting();
    }
}

std::int32_t TarnUpgradeProcess::doCmd(std::wstring& cmdLine, const platform::PipeWriteEnd& output,
                                       std::int32_t pause, platform::PipeReadEnd* drain) {
    auto& log = context_.log;
    log.reportEvent(EventType::Information, L"doCmd updev.mode %d cmdline is %s, sleep %d",
                    updev.mode, cmdLine, pause);
    // A NUL would cut the command line short where the child reads it: such a line is never
    // started rather than started with a different meaning.
    if (cmdLine.find(L'\0') == std::wstring::npos) {
        child_ = context_.processes.startProcess(cmdLine, output);
    }
    if (!child_) {
        log.reportEvent(EventType::Information, L"CreateProcess Failed!");
        return -1;
    }
    if (updev.mode == kModeDfu) {
        log.reportEvent(EventType::Information, L"doCmd enter sleep");
        pauseWhileDraining(milliseconds(pause), drain);
        log.reportEvent(EventType::Information, L"doCmd end sleep");
    }
    return 0;
}

std::int32_t TarnUpgradeProcess::handlePipeInfo(platform::PipeReadEnd readEnd,
                                                std::int32_t outputKind) {
    auto& log = context_.log;
    auto& clock = context_.clock;
    const milliseconds bound =
        outputKind == kOutputDownload ? context_.bounds.download : context_.bounds.listingAndDetach;
    const milliseconds deadline = clock.now() + bound;

    using Status = platform::PipeReadEnd::Status;
    auto decoder = context_.processes.newOutputDecoder();
    std::array<char, kReadBufferSize> buffer{};
    // What the pause already read comes first.
    std::wstring strOutput = decoder->decode(std::exchange(drained_, {}));
    // Every byte read counts, NULs included; the decoder joins characters split between reads.
    const auto read = [&](milliseconds timeout) {
        const auto result = readEnd.read(std::span<char>(buffer.data(), kReadSize), timeout);
        if (result.status == Status::Data) {
            strOutput += decoder->decode(std::string_view(buffer.data(), result.bytes));
        }
        return result;
    };
    // Only a pipe still open and empty at the bound is a time-out: output that came while the
    // runner paused is the tool's and may hold its verdict.
    const auto endsAtTheBound = [&] {
        for (int reads = 0; reads < kLastLookReads; ++reads) {
            const auto status = read(milliseconds::zero()).status;
            if (status != Status::Data) {
                return status == Status::Ended;
            }
        }
        return false;
    };
    bool timedOut = false;
    while (true) {
        const milliseconds remaining = deadline - clock.now();
        // Each wait is cut at the interval of stillWaiting: only the bound ends the run.
        const auto status = remaining > milliseconds::zero()
                                ? read(std::min(remaining, kStillWaitingInterval)).status
                                : Status::TimedOut;
        noteStillWaiting();
        if (status == Status::TimedOut) {
            if (remaining > kStillWaitingInterval) {
                continue;
            }
            timedOut = !endsAtTheBound();
            break;
        }
        if (status == Status::Ended) {
            break;
        }
        clock.sleep(kPauseAfterRead);
    }
    strOutput += decoder->finish();
    if (timedOut) {
        if (child_) {
            child_.terminate();
        }
        log.reportEvent(EventType::Information, L"handlePipeInfo timeout, dfu-util terminated");
    }

    log.reportEvent(EventType::Information, L"handlePipeInfo updev.mode %d strOutput= %s",
                    updev.mode, strOutput);
    analyseBuffer(std::move(strOutput), outputKind);
    readEnd.reset();
    // The run is over: its process and thread handles go too.
    child_.reset();
    return 0;
}

} // namespace tarn::upgrade
