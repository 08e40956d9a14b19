// The stand-in's registry: one text file, $TARN_SYSROOT/Windows/System32/config/registry,
// replaced atomically at each change. Shared by the stand-in seam and tarn-sc.
//
// Each key is a line holding its full path (HKEY_LOCAL_MACHINE\SOFTWARE\...), followed by one
// line per value: a tab, the name, a tab, REG_SZ or REG_DWORD, a tab, the data. In names and
// data '%' and every character below U+0020 or U+007F are written as %XX, so that any text
// stays on its line and in its field.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::platform::standin {

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr wchar_t kLocalMachine[] = L"HKEY_LOCAL_MACHINE";

struct StoredValue {
    std::wstring name;
    std::uint32_t type = kRegSz;
    std::wstring text{};      // REG_SZ
    std::uint32_t number = 0; // REG_DWORD
};

struct StoredKey {
    std::vector<std::wstring> path; // from the root key's name on
    std::vector<StoredValue> values{};
};

// The keys in the order they were made: a key's parent always comes before it.
using StoredRegistry = std::vector<StoredKey>;

// $TARN_SYSROOT/Windows/System32/config/registry, when there is a system root.
std::optional<std::filesystem::path> registryFile();

// Names compare without regard to the case of ASCII letters (the service's names are ASCII).
bool sameRegistryName(std::wstring_view a, std::wstring_view b);
// A path's components, split at backslashes; empty components are dropped, as Windows does.
std::vector<std::wstring> splitKeyPath(std::wstring_view path);
std::wstring joinKeyPath(const std::vector<std::wstring>& path);

std::string formatRegistry(const StoredRegistry& registry);
StoredRegistry parseRegistry(std::string_view text);
// An empty registry when the file does not exist yet.
StoredRegistry readRegistry(const std::filesystem::path& file);
bool writeRegistry(const std::filesystem::path& file, const StoredRegistry& registry);

// The key at `path`, or null.
StoredKey* findKey(StoredRegistry& registry, const std::vector<std::wstring>& path);
// True when `path` lies at or below `ancestor`.
bool isAtOrBelow(const std::vector<std::wstring>& path, const std::vector<std::wstring>& ancestor);

} // namespace tarn::platform::standin
