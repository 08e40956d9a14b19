// An engine wired to fakes, with helpers to read what it reported.
#pragma once

#include "fakes/FakeEventLog.h"
#include "fakes/FakePlatform.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tarn::testing {

class EngineFixture : public ::testing::Test {
protected:
    FakeEventLog eventLog;
    eventlog::EventLogReporter engineLog{eventLog, L"TarnUpgradeProcess", 21};
    RecordingOutput out;
    FakeClock clock;
    FakeProcesses processes{clock};
    FakeFileSystem files;
    upgrade::EngineContext context{engineLog, out, processes, files, clock};

    std::vector<std::wstring> texts() const { return eventLog.texts(); }

    // The texts reported since `from`.
    std::vector<std::wstring> textsFrom(std::size_t from) const {
        auto all = eventLog.texts();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }
};

inline const std::wstring kDir = L"C:\\Program Files\\Vantor\\Tarn\\Services\\";
inline const std::wstring kTool = L"\"C:\\Program Files\\Vantor\\Tarn\\Services\\dfu-util.exe\"";

// A firmware package whose DFU suffix carries `release`.
inline std::string packageWithRelease(std::uint16_t release, std::size_t imageSize = 32) {
    std::string bytes(imageSize, '\x5a');
    std::string suffix = {static_cast<char>(release & 0xFF),
                          static_cast<char>(release >> 8),
                          '\x11',
                          '\x57',
                          '\x3e',
                          '\x7c',
                          '\x1a',
                          '\x01',
                          'U',
                          'F',
                          'D',
                          '\x10',
                          '\0',
                          '\0',
                          '\0',
                          '\0'};
    return bytes + suffix;
}

} // namespace tarn::testing
