// The package check: the whole file is read, and its DFU suffix, which holds the target
// version, is believed only when it shows the package whole and made for the Tarn.
#include "upgrade/DfuSuffix.h"
#include "upgrade/PackageDiscovery.h"

#include <array>

namespace tarn::upgrade {
namespace {

using eventlog::EventType;

constexpr std::size_t kReadPiece = std::size_t{64} * 1024;

} // namespace

PackageCheck checkPackage(EngineContext& context, const std::wstring& path, bool reportRefusal) {
    auto& log = context.log;
    PackageCheck result;
    // Binary, not the runtime's Unicode text mode: that mode turns 0x001A into an end of file,
    // folds 0x000D 0x000A and lets a byte-order mark change the encoding.
    platform::OpenedFile opened = context.files.openForReading(path);
    if (!opened.file) {
        // A copy still being written, a folder or a special file: others may still be good.
        if (reportRefusal) {
            log.reportEvent(EventType::Information, L"package %s could not be opened: %s", path,
                            opened.failure);
        }
        return result;
    }
    // The whole file, for its CRC: a copy cut short, a damaged file or one built for another
    // device must never reach the device's flash, and dfu-util only warns about it.
    DfuSuffixCheck check;
    std::array<std::uint8_t, kReadPiece> piece{};
    while (true) {
        const platform::BinaryFile::Read read = opened.file->read(piece);
        if (!read.failure.empty()) {
            log.reportEvent(EventType::Information, L"package %s could not be read: %s", path,
                            read.failure);
            result.verdict = PackageVerdict::ReadFailed;
            return result;
        }
        if (read.bytes == 0) {
            break;
        }
        check.add(std::span(piece.data(), read.bytes));
    }
    if (const SuffixFault fault = check.finish(); fault != SuffixFault::None) {
        if (reportRefusal) {
            log.reportEvent(EventType::Information, L"package %s has no valid DFU suffix: %s", path,
                            describeSuffixFault(fault));
        }
        return result;
    }
    result.verdict = PackageVerdict::Valid;
    result.file = std::move(opened.file);
    result.release = check.suffix().bcdDevice;
    return result;
}

} // namespace tarn::upgrade
