// readTargetVersion on arbitrary package contents, read through the fake file system: a version
// only from a suffix that passes every check, one plain message otherwise, and the same verdict
// however the file is cut into reads.
#include "FuzzSupport.h"
#include "fakes/FakeEventLog.h"
#include "fakes/FakePlatform.h"
#include "upgrade/DfuSuffix.h"
#include "upgrade/PackageDiscovery.h"

#include <span>
#include <string>

using tarn::fuzz::require;
using tarn::upgrade::SuffixFault;

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
    const std::int32_t result = tarn::upgrade::readTargetVersion(context, path, version);
    require(eventLog.events.size() == 1, "one message either way");
    const std::span<const std::uint8_t> file(data, size);
    tarn::upgrade::DfuSuffix suffix;
    const SuffixFault fault = tarn::upgrade::checkDfuSuffix(file, suffix);

    // Cut into pieces whose sizes the first bytes choose: the verdict of the whole.
    tarn::upgrade::DfuSuffixCheck pieces;
    for (std::size_t at = 0, i = 0; at < size; ++i) {
        const std::size_t piece = std::min<std::size_t>(size - at, 1 + data[i % size] % 23);
        pieces.add(file.subspan(at, piece));
        at += piece;
    }
    require(pieces.finish() == fault, "pieces give the verdict of the whole");

    if (result != 1) {
        require(result == -1, "-1 or 1");
        require(fault != SuffixFault::None, "only a failed check refuses an open file");
        require(version == L"unset", "no version from a refused package");
        require(eventLog.texts().front() == L"package " + path + L" has no valid DFU suffix: " +
                                                tarn::upgrade::describeSuffixFault(fault),
                "the package and its first failed check are named");
        return 0;
    }
    // Accepted: a whole suffix of the DFU layout, for the Tarn, whose CRC covers the rest.
    require(fault == SuffixFault::None && size >= 16, "accepted only with a valid suffix");
    const std::uint8_t* s = data + size - 16;
    require(s[8] == 'U' && s[9] == 'F' && s[10] == 'D', "the signature");
    require(s[11] >= 16 && s[11] <= size, "bLength");
    const std::uint32_t stored =
        s[12] | (s[13] << 8) | (s[14] << 16) | (std::uint32_t{s[15]} << 24);
    require(tarn::upgrade::dfuCrc(file.first(size - 4)) == stored, "the CRC");
    const unsigned vendor = s[4] | (s[5] << 8);
    const unsigned product = s[2] | (s[3] << 8);
    require(vendor == 0x7c3e || vendor == 0xffff, "the vendor");
    require(product == 0x5710 || product == 0x5711 || product == 0xffff, "the product");
    require(version.size() == 4, "four digits");
    for (wchar_t c : version) {
        require((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'), "lowercase hexadecimal");
    }
    const unsigned release = s[0] | (s[1] << 8);
    require(std::stoul(version, nullptr, 16) == release, "bcdDevice");
    require(eventLog.texts().front() == L"get targetVersion is " + version + L"!",
            "the version is logged");
    return 0;
}
