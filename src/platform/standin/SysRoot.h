// The stand-in's system drive: the Windows path C:\X\Y is $TARN_SYSROOT/X/Y.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarn::platform::standin {

inline constexpr char kSysRootVariable[] = "TARN_SYSROOT";

// The directory that stands for C:\, when TARN_SYSROOT is set and not empty.
std::optional<std::filesystem::path> sysRoot();

// C:\X\Y (any letter case of the drive, either slash) to $TARN_SYSROOT/X/Y; Z:\X\Y to /X/Y, the
// host's own root. Anything else, or C:\ without a system root, gives nothing.
std::optional<std::filesystem::path> toHostPath(std::wstring_view windowsPath);

// The reverse: C:\... below the system root, Z:\... for any other absolute path.
std::wstring toWindowsPath(const std::filesystem::path& hostPath);

} // namespace tarn::platform::standin
