#include "platform/StandardOutput.h"

#include "portable/Utf8.h"

#include <cstdio>
#include <mutex>

namespace tarn::platform {
namespace {

class ProcessStandardOutput final : public StandardOutput {
public:
    void write(std::string_view text) override {
        std::lock_guard lock(mutex_);
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    void write(std::wstring_view text) override {
        const std::string utf8 = portable::toUtf8(text);
        std::lock_guard lock(mutex_);
        std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    }
    void flush() override {
        std::lock_guard lock(mutex_);
        std::fflush(stdout);
    }

private:
    std::mutex mutex_;
};

} // namespace

StandardOutput& processStandardOutput() {
    static ProcessStandardOutput out;
    return out;
}

} // namespace tarn::platform
