// An engine wired to fakes, with helpers to read what it reported.
#pragma once

#include "fakes/FakeEventLog.h"
#include "fakes/FakePlatform.h"
#include "upgrade/DfuSuffix.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tarn::fakes {

class EngineFixture : public ::testing::Test {
protected:
    FakeEventLog eventLog;
    eventlog::EventLogReporter engineLog{eventLog, L"TarnUpgradeProcess", 21};
    RecordingOutput out;
    FakeClock clock;
    FakeProcesses processes{clock};
    FakeFileSystem files;
    FakePower power{processes};
    upgrade::EngineContext context{engineLog, out, processes, files, clock, {}, power};

    std::vector<std::wstring> texts() const { return eventLog.texts(); }

    // The texts reported since `from`.
    std::vector<std::wstring> textsFrom(std::size_t from) const {
        auto all = eventLog.texts();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }
};

inline const std::wstring kDir = L"C:\\Program Files\\Vantor\\Tarn\\Services\\";
inline const std::wstring kTool = L"\"C:\\Program Files\\Vantor\\Tarn\\Services\\dfu-util.exe\"";

// A firmware package for the Tarn whose DFU suffix carries `release`, with a valid CRC.
inline std::string packageWithRelease(std::uint16_t release, std::size_t imageSize = 32,
                                      std::uint16_t vendor = 0x7c3e, std::uint16_t product = 0x5711,
                                      std::uint16_t bcdDfu = 0x0100) {
    std::string bytes(imageSize, '\x5a');
    for (const std::uint16_t field : {release, product, vendor, bcdDfu}) {
        bytes += static_cast<char>(field & 0xFF);
        bytes += static_cast<char>(field >> 8);
    }
    bytes += "UFD\x10";
    const std::uint32_t crc = upgrade::dfuCrc(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    for (int shift = 0; shift < 32; shift += 8) {
        bytes += static_cast<char>((crc >> shift) & 0xFF);
    }
    return bytes;
}

} // namespace tarn::fakes
