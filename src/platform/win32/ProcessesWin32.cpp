#include "platform/Processes.h"
#include "platform/win32/CodePageDecoder.h"
#include "platform/win32/UniqueHandles.h"

#include <algorithm>
#include <windows.h>

namespace tarn::platform {
namespace {

using win32::UniqueHandle;

// How long a read waits between two looks at an empty pipe.
constexpr DWORD kPollIntervalMs = 5;

class Win32PipeWriteEnd final : public PipeWriteEnd {
public:
    explicit Win32PipeWriteEnd(UniqueHandle handle) : handle_(std::move(handle)) {}
    HANDLE get() const { return handle_.get(); }

private:
    UniqueHandle handle_;
};

class Win32PipeReadEnd final : public PipeReadEnd {
public:
    explicit Win32PipeReadEnd(UniqueHandle handle) : handle_(std::move(handle)) {}

    Result read(std::span<char> buffer, std::chrono::milliseconds timeout) override {
        // ReadFile on an anonymous pipe blocks without limit, so wait by peeking instead and
        // read only what is already there.
        const ULONGLONG deadline =
            GetTickCount64() + static_cast<ULONGLONG>(std::max<long long>(timeout.count(), 0));
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(handle_.get(), nullptr, 0, nullptr, &available, nullptr)) {
                return {Status::Ended, 0};
            }
            if (available > 0 || buffer.empty()) {
                const DWORD wanted =
                    static_cast<DWORD>(std::min<std::size_t>({available, buffer.size(), MAXDWORD}));
                if (wanted == 0) {
                    return {Status::Data, 0};
                }
                DWORD got = 0;
                if (!ReadFile(handle_.get(), buffer.data(), wanted, &got, nullptr)) {
                    return {Status::Ended, 0};
                }
                return {Status::Data, got};
            }
            if (GetTickCount64() >= deadline) {
                return {Status::TimedOut, 0};
            }
            Sleep(kPollIntervalMs);
        }
    }

private:
    UniqueHandle handle_;
};

class Win32ChildProcess final : public ChildProcess {
public:
    Win32ChildProcess(UniqueHandle process, UniqueHandle thread)
        : process_(std::move(process)), thread_(std::move(thread)) {}

    void terminate() override {
        // The exit code is never read; 1 tells anyone looking that the child did not finish.
        TerminateProcess(process_.get(), 1);
    }

private:
    UniqueHandle process_;
    UniqueHandle thread_;
};

class Win32Processes final : public Processes {
public:
    std::optional<Pipe> createPipe() override {
        SECURITY_ATTRIBUTES attributes{};
        attributes.nLength = sizeof(attributes);
        attributes.lpSecurityDescriptor = nullptr;
        attributes.bInheritHandle = TRUE;
        UniqueHandle read;
        UniqueHandle write;
        if (!CreatePipe(read.put(), write.put(), &attributes, 0)) {
            return std::nullopt;
        }
        // Only the write end goes to the child: a child holding the read end too would never see
        // its pipe break when the service ends, and would block for good once the pipe is full.
        if (!SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0)) {
            return std::nullopt;
        }
        Pipe pipe;
        pipe.read = std::make_unique<Win32PipeReadEnd>(std::move(read));
        pipe.write = std::make_unique<Win32PipeWriteEnd>(std::move(write));
        return pipe;
    }

    std::unique_ptr<ChildProcess> startProcess(std::wstring& commandLine,
                                               PipeWriteEnd& output) override {
        // Only our own pipes carry a handle the child can be given.
        auto* writeEnd = dynamic_cast<Win32PipeWriteEnd*>(&output);
        if (writeEnd == nullptr) {
            return nullptr;
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        GetStartupInfoW(&startup);
        startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        startup.hStdOutput = writeEnd->get();
        startup.hStdError = writeEnd->get();

        PROCESS_INFORMATION info{};
        // No console: a service has none to share, and each child would get a hidden one.
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                            nullptr, nullptr, &startup, &info)) {
            return nullptr;
        }
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);
        return std::make_unique<Win32ChildProcess>(std::move(process), std::move(thread));
    }

    std::unique_ptr<OutputDecoder> newOutputDecoder() override {
        return win32::newCodePageDecoder(CP_THREAD_ACP, win32::threadAnsiCodePage());
    }
};

} // namespace

Processes& systemProcesses() {
    static Win32Processes processes;
    return processes;
}

GivenOutputBounds givenOutputBounds() {
    return {};
}

} // namespace tarn::platform
