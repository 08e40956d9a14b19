// The seam to child processes and anonymous pipes, for running dfu-util.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarn::platform {

// The write end of a pipe; destroying it closes the service's copy.
class PipeWriteEnd {
public:
    virtual ~PipeWriteEnd() = default;
};

// The read end of a pipe; destroying it closes it.
class PipeReadEnd {
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

    virtual ~PipeReadEnd() = default;
    // ReadFile of at most buffer.size() bytes that gives up after `timeout` (real time)
    // without data; a time-out of 0 only looks.
    virtual Result read(std::span<char> buffer, std::chrono::milliseconds timeout) = 0;
};

struct Pipe {
    std::unique_ptr<PipeReadEnd> read;
    std::unique_ptr<PipeWriteEnd> write;
};

// A started child. Destroying it closes its process and thread handles; the child runs on.
class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    // Ends the child at once (TerminateProcess).
    virtual void terminate() = 0;
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
    // command line is writable because CreateProcessW may write into it. Null when the start
    // failed.
    virtual std::unique_ptr<ChildProcess> startProcess(std::wstring& commandLine,
                                                       PipeWriteEnd& output) = 0;

    // MultiByteToWideChar from the thread's ANSI code page (UTF-8 on the stand-in).
    virtual std::unique_ptr<OutputDecoder> newOutputDecoder() = 0;
};

Processes& systemProcesses();

// Bounds on the wait for a child's output that a test has set for this process in place of
// the engine's own, each empty when not set. The stand-in reads them from its environment;
// Windows has no such setting.
struct GivenOutputBounds {
    std::optional<std::chrono::milliseconds> listingAndDetach;
    std::optional<std::chrono::milliseconds> download;
};
GivenOutputBounds givenOutputBounds();

} // namespace tarn::platform
