// The packages: every candidate checked whole (its DFU suffix), the pass's package chosen among
// those that pass, the ones set aside deleted, and the chosen one held until the pass is done
// with it.

#include "upgrade/Packages.h"

#include "portable/AsciiCase.h"
#include "upgrade/DfuSuffix.h"
#include "upgrade/OutputAnalysis.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <algorithm>
#include <array>

namespace tarn::upgrade {

// initUpgradeInfo: check every firmware package, choose the pass's package among those that
// pass, delete the ones set aside, and hold the chosen one until the pass is done with it.
namespace {

using eventlog::EventType;

constexpr wchar_t kPackagePattern[] = L"*.dfu";
constexpr std::wstring_view kPackageEnding = std::wstring_view(kPackagePattern).substr(1);
constexpr wchar_t kZippedMarker[] = L".zip.dfu";

// Whether an entry the search returned is a package by its own name: the search matches the
// pattern against 8.3 short names too, so "fw.dfuold" (short name FW~1.DFU) comes back as well.
bool isPackageName(std::wstring_view name) {
    if (name.size() < kPackageEnding.size()) {
        return false;
    }
    return std::equal(name.end() - static_cast<std::ptrdiff_t>(kPackageEnding.size()), name.end(),
                      kPackageEnding.begin(), portable::sameIgnoringAsciiCase);
}

bool isZipped(std::wstring_view name) {
    return portable::containsIgnoringAsciiCase(name, kZippedMarker);
}

// Whether `name`, met after `choice` in the walk (oldest first), becomes the choice: a zipped
// choice gives way to anything, a plain name takes over from one that sorts before it. Names
// sort and ".zip.dfu" is found as the file system compares them, without regard to case, or
// "FW-0104.DFU" would sort before "fw-0103.dfu" and the older package be flashed.
bool replacesChoice(EngineContext& context, std::wstring_view choice, std::wstring_view name) {
    return isZipped(choice) || (!isZipped(name) && context.files.compareNames(choice, name) < 0);
}

} // namespace

std::vector<PackageEntry> sortByCreationTime(EngineContext& context,
                                             const std::vector<std::wstring>& names) {
    std::vector<PackageEntry> entries;
    entries.reserve(names.size());
    for (const auto& name : names) {
        // A package that cannot be opened for writing, or has vanished, counts as oldest.
        const auto time = context.files.creationTime(std::wstring(kServiceDirectory) + name);
        entries.push_back({name, time.value_or(0)});
    }
    // Stable, so that equal times keep the order of the directory search.
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const PackageEntry& a, const PackageEntry& b) {
                         return context.files.compareFileTime(a.creationTime, b.creationTime) < 0;
                     });
    return entries;
}

std::wstring selectPackage(EngineContext& context, const std::vector<std::wstring>& names,
                           const std::wstring& directory) {
    std::wstring choice = names.front();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::wstring& name = names[i];
        std::wstring discard;
        if (replacesChoice(context, choice, name)) {
            discard = choice;
            choice = name;
        } else if (choice != name) {
            discard = name;
        }
        const std::wstring path = discard.empty() ? std::wstring() : directory + discard;
        if (i + 1 == names.size()) {
            // The last step's discard stays on disk, to be weighed again next time.
            context.log.reportEvent(EventType::Information, L"use file  %s ", path);
        } else {
            context.log.reportEvent(EventType::Information, L"file delete  %s ", path);
            if (!discard.empty()) {
                context.files.deleteFile(path);
            }
        }
    }
    return choice;
}

// Takes its own copy, as its callers are promised: nothing they hold is aliased.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
std::int32_t TarnUpgradeProcess::initUpgradeInfo(std::wstring directory) {
    auto& log = context_.log;
    // A second discovery in the same pass weighs the packages afresh; the first one's hold
    // would fail its creation-time opens and its deletions.
    releasePackage();
    const std::wstring pattern = directory + kPackagePattern;
    log.reportEvent(EventType::Information, L"initUpgradeInfo packageList= %s", pattern);

    std::vector<std::wstring> found = context_.files.findFiles(pattern);
    std::erase_if(found, [](const std::wstring& name) { return !isPackageName(name); });
    if (found.empty()) {
        log.reportEvent(EventType::Information, L"initUpgradeInfo File not found %s!", pattern);
        return -1;
    }
    for (const auto& name : found) {
        log.reportEvent(EventType::Information, L"adding %s to the unsorted list", name);
    }

    // Every package is checked before anything is chosen or deleted: one that fails takes no
    // part, so a damaged file never pushes a good one aside, and is never deleted (it may be
    // a copy still under way). Of those that pass, only the one the walk would choose so far
    // stays open: a thousand packages need no thousand handles.
    std::vector<std::wstring> sorted;
    std::wstring choice; // the walk's choice so far, the one package kept open
    std::uint16_t release = 0;
    for (auto& entry : sortByCreationTime(context_, found)) {
        const std::wstring path = std::wstring(kServiceDirectory) + entry.name;
        PackageCheck check = checkPackage(context_, path, !refusalsReported_.contains(path));
        if (check.verdict == PackageVerdict::ReadFailed) {
            releasePackage();
            return -1; // the disk is not to be trusted: nothing chosen, nothing deleted
        }
        if (check.verdict == PackageVerdict::Refused) {
            refusalsReported_.insert(path);
            continue;
        }
        log.reportEvent(EventType::Information, L"adding %s to the sorted list", entry.name);
        if (sorted.empty() || replacesChoice(context_, choice, entry.name)) {
            choice = entry.name;
            heldPackage_ = std::move(check.file);
            release = check.release;
        }
        sorted.push_back(std::move(entry.name));
    }
    if (sorted.empty()) {
        log.reportEvent(EventType::Information, L"initUpgradeInfo File not found %s!", pattern);
        return -1;
    }

    packageName = selectPackage(context_, sorted, directory);
    targetVersion = eventlog::formatWide(L"%04x", unsigned{release});
    log.reportEvent(EventType::Information, L"get targetVersion is %s!", targetVersion);
    return 1;
}

void TarnUpgradeProcess::releasePackage() {
    if (heldPackage_ && !heldPackage_->close()) {
        context_.log.reportEvent(EventType::Information, L"fclose failed!!");
    }
    heldPackage_.reset();
}

// The package check: the whole file is read, and its DFU suffix, which holds the target
// version, is believed only when it shows the package whole and made for the Tarn.
namespace {

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
