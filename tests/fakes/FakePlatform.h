// Fakes of the seam for the engine: a clock that never sleeps, scripted child processes and an
// in-memory file system.
#pragma once

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Power.h"
#include "platform/Processes.h"
#include "portable/Utf8.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarn::fakes {

class FakeClock final : public platform::Clock {
public:
    void sleep(Duration d) override {
        sleeps.push_back(d);
        now_ += d;
    }
    Duration now() override { return now_; }
    std::chrono::sys_seconds utcNow() override { return utc; }
    void advance(Duration d) { now_ += d; }

    std::chrono::sys_seconds utc{std::chrono::sys_days{std::chrono::December / 10 / 2026} +
                                 std::chrono::seconds(12 * 3600 + 34 * 60 + 56)};

    std::vector<Duration> sleeps;

private:
    Duration now_{1000000};
};

// What one scripted child writes, read by read.
struct ScriptedRun {
    std::vector<std::string> chunks; // each one read's bytes, or as many reads as it fills
    bool hangs = false;              // after the chunks, nothing until the time-out
    // When each chunk is in the pipe, on the clock, counted from the start of the child; chunks
    // beyond the list are there at once. The pipe ends with the last chunk.
    std::vector<platform::Clock::Duration> readyAfter{};
};

class FakeProcesses final : public platform::Processes {
public:
    explicit FakeProcesses(FakeClock& clock) : clock_(clock) {}

    bool failPipe = false;
    bool failStart = false;
    std::deque<ScriptedRun> runs; // consumed one per started child
    std::vector<std::wstring> commandLines;
    int openPipeEnds = 0;
    int liveChildren = 0;
    int terminated = 0;
    std::size_t largestRead = 0; // the largest buffer a read was given
    // Called at each start, e.g. to check what is open at that moment.
    std::function<void()> onStart;
    // Called at each read of a child's output, while its run is under way.
    std::function<void()> onRead;

    std::optional<platform::Pipe> createPipe() override {
        if (failPipe) {
            return std::nullopt;
        }
        pipes_.emplace_back();
        openPipeEnds += 2;
        return platform::Pipe{{*this, pipes_.size() - 1}, {*this, pipes_.size() - 1}};
    }

    platform::ChildProcess startProcess(std::wstring& commandLine,
                                        const platform::PipeWriteEnd& output) override {
        commandLines.push_back(commandLine);
        if (onStart) {
            onStart();
        }
        // CreateProcessW has nothing to start in an empty line.
        if (failStart || commandLine.empty()) {
            return {};
        }
        auto& state = pipes_.at(output.value());
        state.run = runs.empty() ? ScriptedRun{} : runs.front();
        if (!runs.empty()) {
            runs.pop_front();
        }
        state.childAttached = true;
        state.startedAt = clock_.now();
        ++liveChildren;
        return {*this, output.value()};
    }

    std::unique_ptr<platform::OutputDecoder> newOutputDecoder() override {
        return std::make_unique<Decoder>();
    }

private:
    struct PipeState {
        ScriptedRun run;
        std::size_t next = 0;
        std::size_t offset = 0; // into chunks[next], already read
        bool childAttached = false;
        bool writeOpen = true;
        bool killed = false;
        platform::Clock::Duration startedAt{};
    };
    void close(std::type_identity<platform::PipeReadEnd>, std::uintptr_t) override {
        --openPipeEnds;
    }
    void close(std::type_identity<platform::PipeWriteEnd>, std::uintptr_t end) override {
        pipes_.at(end).writeOpen = false;
        --openPipeEnds;
    }
    void close(std::type_identity<platform::ChildProcess>, std::uintptr_t) override {
        --liveChildren;
    }
    void terminate(std::uintptr_t child) override {
        pipes_.at(child).killed = true;
        ++terminated;
    }
    platform::PipeReadEnd::Result read(std::uintptr_t end, std::span<char> buffer,
                                       std::chrono::milliseconds timeout) override {
        using Status = platform::PipeReadEnd::Status;
        largestRead = std::max(largestRead, buffer.size());
        if (onRead) {
            onRead();
        }
        auto& state = pipes_.at(end);
        if (state.writeOpen) {
            // Our own write end still open: a real read would block for ever.
            clock_.advance(timeout);
            return {Status::TimedOut, 0};
        }
        if (!state.killed && state.next < state.run.chunks.size()) {
            const auto& ready = state.run.readyAfter;
            if (state.offset == 0 && state.next < ready.size()) {
                const auto wait = state.startedAt + ready[state.next] - clock_.now();
                if (wait > timeout) {
                    clock_.advance(timeout);
                    return {Status::TimedOut, 0};
                }
                clock_.advance(std::max(wait, std::chrono::milliseconds::zero()));
            }
            const std::string& chunk = state.run.chunks[state.next];
            const std::size_t n = std::min(chunk.size() - state.offset, buffer.size());
            std::memcpy(buffer.data(), chunk.data() + state.offset, n);
            state.offset += n;
            if (state.offset == chunk.size()) {
                ++state.next;
                state.offset = 0;
            }
            return {Status::Data, n};
        }
        if (state.run.hangs && !state.killed) {
            clock_.advance(timeout);
            return {Status::TimedOut, 0};
        }
        return {Status::Ended, 0};
    }
    struct Decoder final : platform::OutputDecoder {
        std::wstring decode(std::string_view bytes) override { return utf8.decode(bytes); }
        std::wstring finish() override { return utf8.finish(); }
        portable::Utf8Decoder utf8;
    };

    FakeClock& clock_;
    std::deque<PipeState> pipes_; // each pipe's, its child's too, by the ends' value
};

// Records each SetThreadExecutionState, with the number of tools started by then.
class FakePower final : public platform::Power {
public:
    explicit FakePower(const FakeProcesses& processes) : processes_(processes) {}
    struct Call {
        std::uint32_t flags;
        std::size_t startsBefore;
    };
    bool setThreadExecutionState(std::uint32_t flags) override {
        calls.push_back({flags, processes_.commandLines.size()});
        return true;
    }
    std::vector<Call> calls;

private:
    const FakeProcesses& processes_;
};

// Files keyed by their full Windows path, in the order they were added. A file open for
// reading cannot be deleted, as on Windows, where it is opened sharing reading only.
class FakeFileSystem final : public platform::FileSystem {
public:
    struct File {
        std::wstring path;
        std::string content;
        std::optional<std::uint64_t> creationTime = 0;
        bool failClose = false;
        std::wstring openFailure{}; // the open fails, for this reason
        bool failRead = false;
        std::shared_ptr<int> openCount = std::make_shared<int>(0);
    };

    void add(const std::wstring& path, std::string content, std::optional<std::uint64_t> time) {
        files.push_back({path, std::move(content), time});
    }
    File* find(const std::wstring& path) {
        auto it =
            std::find_if(files.begin(), files.end(), [&](const File& f) { return f.path == path; });
        return it == files.end() ? nullptr : &*it;
    }

    std::vector<std::wstring> findFiles(const std::wstring& pattern) override {
        searches.push_back(pattern);
        const std::wstring dir = pattern.substr(0, pattern.rfind(L'\\') + 1);
        std::vector<std::wstring> names;
        for (const auto& f : files) {
            if (f.path.rfind(dir, 0) == 0 && f.path.find(L'\\', dir.size()) == std::wstring::npos &&
                f.path.size() >= 4) {
                std::wstring ext = f.path.substr(f.path.size() - 4);
                std::transform(ext.begin(), ext.end(), ext.begin(), ::towlower);
                if (ext == L".dfu") {
                    names.push_back(f.path.substr(dir.size()));
                }
            }
        }
        return names;
    }
    std::optional<std::uint64_t> creationTime(const std::wstring& path) override {
        const File* f = find(path);
        return f ? f->creationTime : std::nullopt;
    }
    int compareFileTime(std::uint64_t a, std::uint64_t b) override {
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    int compareNames(std::wstring_view a, std::wstring_view b) override {
        const auto upper = [](std::wstring text) {
            std::transform(text.begin(), text.end(), text.begin(), ::towupper);
            return text;
        };
        return upper(std::wstring(a)).compare(upper(std::wstring(b)));
    }
    bool deleteFile(const std::wstring& path) override {
        deletions.push_back(path);
        auto it =
            std::find_if(files.begin(), files.end(), [&](const File& f) { return f.path == path; });
        if (it == files.end() || *it->openCount > 0) {
            return false;
        }
        files.erase(it);
        return true;
    }
    platform::OpenedFile openForReading(const std::wstring& path) override {
        const File* f = find(path);
        if (f == nullptr) {
            return {nullptr, L"The system cannot find the file specified."};
        }
        if (!f->openFailure.empty()) {
            return {nullptr, f->openFailure};
        }
        return {std::make_unique<Reader>(*f), {}};
    }

    std::vector<File> files;
    std::vector<std::wstring> searches;
    std::vector<std::wstring> deletions;

private:
    struct Reader final : platform::BinaryFile {
        explicit Reader(const File& f)
            : content(f.content), failClose(f.failClose), failRead(f.failRead),
              openCount(f.openCount) {
            ++*openCount;
        }
        ~Reader() override { --*openCount; }
        Read read(std::span<std::uint8_t> buffer) override {
            if (failRead) {
                return {0, L"I/O error"};
            }
            const std::size_t n =
                std::min(buffer.size(), content.size() - std::min(pos, content.size()));
            std::memcpy(buffer.data(), content.data() + pos, n);
            pos += n;
            return {n, {}};
        }
        bool close() override { return !failClose; }
        std::string content;
        bool failClose;
        bool failRead;
        std::shared_ptr<int> openCount;
        std::size_t pos = 0;
    };
};

} // namespace tarn::fakes
