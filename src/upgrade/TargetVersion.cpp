// The target version: the release number at the start of the package's 16-byte DFU suffix.
#include "upgrade/PackageDiscovery.h"

#include <array>

namespace tarn::upgrade {
namespace {

using eventlog::EventType;

constexpr std::int64_t kSuffixSize = 16;

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
    // A file shorter than the suffix stays at its start: its first two bytes are taken.
    file->seekFromEnd(-kSuffixSize);
    std::array<std::uint8_t, kSuffixSize> suffix{};
    const std::size_t count = file->read(suffix);
    // Below two bytes there is no whole 16-bit unit to take.
    const unsigned release = count >= 2 ? suffix[0] | (suffix[1] << 8) : 0;
    targetVersion = eventlog::formatWide(L"%04x", release);
    log.reportEvent(EventType::Information, L"get targetVersion is %s!", targetVersion);
    if (!file->close()) {
        log.reportEvent(EventType::Information, L"fclose failed!!");
        return -1;
    }
    return 1;
}

} // namespace tarn::upgrade
