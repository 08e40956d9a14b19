// The packages: discovery and its steps, each usable on its own, and the check of one package.
#pragma once

#include "upgrade/TarnUpgradeProcess.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarn::upgrade {

struct PackageEntry {
    std::wstring name;
    std::uint64_t creationTime; // file time; 0 when it could not be read
};

// The packages, oldest first, by the creation time of each in the service directory.
std::vector<PackageEntry> sortByCreationTime(EngineContext& context,
                                             const std::vector<std::wstring>& names);

enum class PackageVerdict {
    Valid,      // whole, a DFU 1.0 or 1.1 file for the Tarn: it may be chosen
    Refused,    // not openable, damaged, or not a package for the Tarn: it takes no part
    ReadFailed, // a read failed on the way: nothing of the directory is trusted this pass
};

struct PackageCheck {
    PackageVerdict verdict = PackageVerdict::Refused;
    // A valid package stays open from its check on, so that nobody can change it before it
    // is flashed.
    std::unique_ptr<platform::BinaryFile> file;
    std::uint16_t release = 0; // bcdDevice, of a valid package
};

// Reads the package at `path` whole and checks its DFU suffix. A refusal is reported when
// `reportRefusal` is set, a failed read always.
PackageCheck checkPackage(EngineContext& context, const std::wstring& path, bool reportRefusal);

// Walks the names (oldest first, at least one), deletes the packages it sets aside on every
// step but the last, and returns the chosen name: the one that sorts last among the names
// without ".zip.dfu", or the newest when all are zipped.
std::wstring selectPackage(EngineContext& context, const std::vector<std::wstring>& names,
                           const std::wstring& directory);

} // namespace tarn::upgrade
