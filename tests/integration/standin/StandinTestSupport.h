// A temporary system drive for the stand-in tests, and the test child installed on it.
#pragma once

#include "TestSupport.h"
#include "platform/Processes.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tarn::platform::testing {

class SysRootTest : public ::testing::Test {
protected:
    // The host path of a Windows path on the temporary C: drive.
    std::filesystem::path host(const std::wstring& windowsPath) const;
    // Copies the test child to a Windows path; returns that path.
    std::wstring installEcho(const std::wstring& windowsPath) const;
    void writeFile(const std::wstring& windowsPath, const std::string& bytes) const;

    integration::TempSysRoot sysroot_;
};

struct RunResult {
    bool started = false;
    std::string output;
};

// Starts a command line, closes the service's write end and reads until the pipe ends.
RunResult runToEnd(std::wstring commandLine);

// Arguments as the test child prints them: one entry per argv element.
std::vector<std::string> parseEcho(const std::string& output);

// The factor TARN_SLEEP_SCALE must come to for this run of the tests.
double expectedScale();

} // namespace tarn::platform::testing
