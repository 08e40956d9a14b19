#include "platform/Processes.h"
#include "platform/win32/CodePageDecoder.h"
#include "platform/win32/UniqueHandles.h"

#include <algorithm>
#include <windows.h>

namespace tarn::platform {
namespace {

using win32::fromSeamValue;
using win32::seamValue;
using win32::UniqueHandle;

// How long a read waits between two looks at an empty pipe.
constexpr DWORD kPollIntervalMs = 5;

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
        return Pipe{{*this, seamValue(read.release())}, {*this, seamValue(write.release())}};
    }

    ChildProcess startProcess(std::wstring& commandLine, const PipeWriteEnd& output) override {
        // Only our own pipes carry a handle the child can be given.
        if (!output.openedBy(*this)) {
            return {};
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        GetStartupInfoW(&startup);
        startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        startup.hStdOutput = fromSeamValue<HANDLE>(output.value());
        startup.hStdError = startup.hStdOutput;

        PROCESS_INFORMATION info{};
        // No console: a service has none to share, and each child would get a hidden one.
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                            nullptr, nullptr, &startup, &info)) {
            return {};
        }
        // Nothing uses the thread handle; the process handle stays for terminate().
        UniqueHandle thread(info.hThread);
        return {*this, seamValue(info.hProcess)};
    }

    std::unique_ptr<OutputDecoder> newOutputDecoder() override {
        return win32::newCodePageDecoder(CP_THREAD_ACP, win32::threadAnsiCodePage());
    }

private:
    void close(std::type_identity<PipeReadEnd>, std::uintptr_t end) override {
        UniqueHandle(fromSeamValue<HANDLE>(end)).reset();
    }
    void close(std::type_identity<PipeWriteEnd>, std::uintptr_t end) override {
        UniqueHandle(fromSeamValue<HANDLE>(end)).reset();
    }
    void close(std::type_identity<ChildProcess>, std::uintptr_t child) override {
        UniqueHandle(fromSeamValue<HANDLE>(child)).reset();
    }

    PipeReadEnd::Result read(std::uintptr_t end, std::span<char> buffer,
                             std::chrono::milliseconds timeout) override {
        using Status = PipeReadEnd::Status;
        const HANDLE pipe = fromSeamValue<HANDLE>(end);
        // ReadFile on an anonymous pipe blocks without limit, so wait by peeking instead and
        // read only what is already there.
        const ULONGLONG deadline =
            GetTickCount64() + static_cast<ULONGLONG>(std::max<long long>(timeout.count(), 0));
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
                return {Status::Ended, 0};
            }
            if (available > 0 || buffer.empty()) {
                const DWORD wanted =
                    static_cast<DWORD>(std::min<std::size_t>({available, buffer.size(), MAXDWORD}));
                if (wanted == 0) {
                    return {Status::Data, 0};
                }
                DWORD got = 0;
                if (!ReadFile(pipe, buffer.data(), wanted, &got, nullptr)) {
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

    void terminate(std::uintptr_t child) override {
        // The exit code is never read; 1 tells anyone looking that the child did not finish.
        TerminateProcess(fromSeamValue<HANDLE>(child), 1);
    }
};

} // namespace

Processes& systemProcesses() {
    static Win32Processes processes;
    return processes;
}

} // namespace tarn::platform
