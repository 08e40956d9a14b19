// The seam to child processes and anonymous pipes, for running dfu-util.
#pragma once

#include "platform/SeamHandle.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace tarn::platform {

class Processes;

// The write end of a pipe; destroying it closes the service's copy.
class PipeWriteEnd final : public SeamHandle<Processes, PipeWriteEnd> {
public:
    using SeamHandle::SeamHandle;
};

// The read end of a pipe; destroying it closes it.
class PipeReadEnd final : public SeamHandle<Processes, PipeReadEnd> {
public:
    enum class Status {
        Data,     // `bytes` bytes were read
        Ended,    // the read failed: every write end is closed and the pipe is empty
        TimedOut, // nothing came within the time-out
    };
    struct Result {
        Status status;
        std::size_t bytes;
    };

    using SeamHandle::SeamHandle;
    // ReadFile of at most buffer.size() bytes that gives up after `timeout` (real time)
    // without data; a time-out of 0 only looks.
    Result read(std::span<char> buffer, std::chrono::milliseconds timeout);
};

struct Pipe {
    PipeReadEnd read;
    PipeWriteEnd write;
};

// A started child. Destroying it closes its process handle; the child runs on.
class ChildProcess final : public SeamHandle<Processes, ChildProcess> {
public:
    using SeamHandle::SeamHandle;
    // Ends the child at once (TerminateProcess).
    void terminate();
};

// Turns the child's narrow output into wide text; a character split between two reads comes
// out whole.
class OutputDecoder {
public:
    virtual ~OutputDecoder() = default;
    virtual std::wstring decode(std::string_view bytes) = 0;
    virtual std::wstring finish() = 0;
};

class Processes {
public:
    virtual ~Processes() = default;

    // CreatePipe with the default buffer size, only the write end inheritable; nothing on
    // failure.
    virtual std::optional<Pipe> createPipe() = 0;

    // GetStartupInfoW and CreateProcessW: a hidden child without a console whose standard
    // output and standard error are `output`, inheriting the service's inheritable handles. The
    // command line is writable because CreateProcessW may write into it. Empty when the start
    // failed.
    virtual ChildProcess startProcess(std::wstring& commandLine, const PipeWriteEnd& output) = 0;

    // MultiByteToWideChar from the thread's ANSI code page (UTF-8 on the stand-in).
    virtual std::unique_ptr<OutputDecoder> newOutputDecoder() = 0;

private:
    // What the handles do with their values (CloseHandle, ReadFile, TerminateProcess).
    template <class, class> friend class SeamHandle;
    friend PipeReadEnd;
    friend ChildProcess;
    virtual void close(std::type_identity<PipeReadEnd>, std::uintptr_t value) = 0;
    virtual void close(std::type_identity<PipeWriteEnd>, std::uintptr_t value) = 0;
    virtual void close(std::type_identity<ChildProcess>, std::uintptr_t value) = 0;
    virtual PipeReadEnd::Result read(std::uintptr_t readEnd, std::span<char> buffer,
                                     std::chrono::milliseconds timeout) = 0;
    virtual void terminate(std::uintptr_t child) = 0;
};

inline PipeReadEnd::Result PipeReadEnd::read(std::span<char> buffer,
                                             std::chrono::milliseconds timeout) {
    return owner_->read(value_, buffer, timeout);
}

inline void ChildProcess::terminate() {
    owner_->terminate(value_);
}

Processes& systemProcesses();

} // namespace tarn::platform
