// The package check on arbitrary package contents, read through the fake file system: a release
// only from a suffix that passes every check, one plain message otherwise, and the same verdict
// however the file is cut into reads.
#include "FuzzSupport.h"
#include "fakes/FakeEventLog.h"
#include "fakes/FakePlatform.h"
#include "upgrade/DfuSuffix.h"
#include "upgrade/Packages.h"

#include <span>
#include <string>

using tarn::fuzz::require;
using tarn::upgrade::SuffixFault;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    tarn::fakes::FakeEventLog eventLog;
    tarn::eventlog::EventLogReporter log{eventLog, L"TarnUpgradeProcess", 21};
    tarn::fakes::RecordingOutput out;
    tarn::fakes::FakeClock clock;
    tarn::fakes::FakeProcesses processes{clock};
    tarn::fakes::FakeFileSystem files;
    tarn::upgrade::EngineContext context{log, out, processes, files, clock};
    const std::wstring path = L"C:\\Services\\fw.dfu";
    files.add(path, content, 0);

    const tarn::upgrade::PackageCheck check = tarn::upgrade::checkPackage(context, path, true);
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

    if (check.verdict != tarn::upgrade::PackageVerdict::Valid) {
        require(check.verdict == tarn::upgrade::PackageVerdict::Refused, "reads never fail here");
        require(fault != SuffixFault::None, "only a failed check refuses an open file");
        require(!check.file, "a refused package is not held");
        require(eventLog.texts() ==
                    std::vector<std::wstring>{L"package " + path + L" has no valid DFU suffix: " +
                                              tarn::upgrade::describeSuffixFault(fault)},
                "the package and its first failed check are named, once");
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
    const unsigned bcdDfu = s[6] | (s[7] << 8);
    require(bcdDfu == 0x0100 || bcdDfu == 0x0110, "DFU 1.0 or 1.1");
    require(size > s[11], "an image before the suffix");
    require(s[0] != 0xff || s[1] != 0xff, "a release number");
    require(check.file != nullptr, "a valid package is held");
    require(check.release == (s[0] | (s[1] << 8)), "bcdDevice");
    require(eventLog.events.empty(), "nothing to say about a valid package");
    return 0;
}
