// readTargetVersion on arbitrary package contents, read through the fake file system.
#include "FuzzSupport.h"
#include "fakes/FakeEventLog.h"
#include "fakes/FakePlatform.h"
#include "upgrade/PackageDiscovery.h"

#include <string>

using tarn::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    tarn::testing::FakeEventLog eventLog;
    tarn::eventlog::EventLogReporter log{eventLog, L"TarnUpgradeProcess", 21};
    tarn::testing::RecordingOutput out;
    tarn::testing::FakeClock clock;
    tarn::testing::FakeProcesses processes{clock};
    tarn::testing::FakeFileSystem files;
    tarn::upgrade::EngineContext context{log, out, processes, files, clock};
    const std::wstring path = L"C:\\Services\\fw.dfu";
    files.add(path, content, 0);

    std::wstring version = L"unset";
    require(tarn::upgrade::readTargetVersion(context, path, version) == 1, "an open file is read");
    require(version.size() == 4, "four digits");
    for (wchar_t c : version) {
        require((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'), "lowercase hexadecimal");
    }
    // The release number: the suffix's first two bytes, little-endian; a file shorter than the
    // suffix gives its own first two.
    unsigned expected = 0;
    if (size >= 2) {
        const std::size_t at = size >= 16 ? size - 16 : 0;
        expected = data[at] | (data[at + 1] << 8);
    }
    require(std::stoul(version, nullptr, 16) == expected, "the release number of the suffix");
    require(eventLog.contains(L"get targetVersion is " + version + L"!"), "the version is logged");
    return 0;
}
