// The steps of package discovery, each usable on its own.
#pragma once

#include "upgrade/TarnUpgradeProcess.h"

#include <cstdint>
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

// Walks the names (oldest first, at least one), deletes the packages it sets aside on every
// step but the last, and returns the chosen name: the one that sorts last among the names
// without ".zip.dfu", or the newest when all are zipped.
std::wstring selectPackage(EngineContext& context, const std::vector<std::wstring>& names,
                           const std::wstring& directory);

// Reads the release number from the package's DFU suffix into `targetVersion` as four
// lowercase hexadecimal digits: 1 on success, -1 when the file cannot be opened or closed.
std::int32_t readTargetVersion(EngineContext& context, const std::wstring& path,
                               std::wstring& targetVersion);

} // namespace tarn::upgrade
