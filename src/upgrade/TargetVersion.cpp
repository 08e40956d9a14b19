// The target version: the release number at the start of the package's 16-byte DFU suffix,
// believed only when the suffix shows the package whole and made for the Tarn.
#include "upgrade/DfuSuffix.h"
#include "upgrade/PackageDiscovery.h"

#include <array>

namespace tarn::upgrade {
namespace {

using eventlog::EventType;

constexpr std::size_t kReadPiece = std::size_t{16} * 1024;

} // namespace

std::int32_t readTargetVersion(EngineContext& context, const std::wstring& path,
                               std::wstring& targetVersion) {
    auto& log = context.log;
    // Binary, not the runtime's Unicode text mode: that mode turns 0x001A into an end of file,
    // folds 0x000D 0x000A and lets a byte-order mark change the encoding.
    auto file = context.files.openForReading(path);
    if (!file) {
        log.reportEvent(EventType::Information, L"_wfopen failed!!");
        return -1;
    }
    // The whole file, for its CRC: a copy still in progress, a damaged file or one built for
    // another device must never reach the device's flash, and dfu-util only warns about it.
    DfuSuffixCheck check;
    std::array<std::uint8_t, kReadPiece> piece{};
    for (std::size_t count; (count = file->read(piece)) > 0;) {
        check.add(std::span(piece.data(), count));
    }
    const SuffixFault fault = check.finish();
    if (fault != SuffixFault::None) {
        file->close();
        log.reportEvent(EventType::Information, L"package %s has no valid DFU suffix: %s", path,
                        describeSuffixFault(fault));
        return -1;
    }
    targetVersion = eventlog::formatWide(L"%04x", unsigned{check.suffix().bcdDevice});
    log.reportEvent(EventType::Information, L"get targetVersion is %s!", targetVersion);
    if (!file->close()) {
        log.reportEvent(EventType::Information, L"fclose failed!!");
        return -1;
    }
    return 1;
}

} // namespace tarn::upgrade
