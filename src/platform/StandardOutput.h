// The process's standard output, where a few engine diagnostics are echoed. A service has no
// console, so nobody reads them there; tests substitute a recording stream.
#pragma once

#include <string_view>

namespace tarn::platform {

class StandardOutput {
public:
    virtual ~StandardOutput() = default;
    // The narrow stream.
    virtual void write(std::string_view text) = 0;
    // The wide stream.
    virtual void write(std::wstring_view text) = 0;
    virtual void flush() = 0;
};

// Both streams go out as UTF-8 through one C stream, so they never fight over its orientation.
StandardOutput& processStandardOutput();

} // namespace tarn::platform
