// The seam to the registry, for the record each pass leaves of the Tarns it saw. Keys lie under
// HKEY_LOCAL_MACHINE in the 64-bit view; names compare without regard to case, as Windows
// compares them. Error codes are the Win32 ones the Reg functions return (0: success).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarn::platform {

inline constexpr std::uint32_t kRegistryKeyNotFound = 2; // ERROR_FILE_NOT_FOUND

class RegistryKey;

// A key opened or created, or why not.
struct OpenedKey {
    std::unique_ptr<RegistryKey> key;
    std::uint32_t error = 0;
};

// An open key; destroying it closes it.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    // RegCreateKeyExW: non-volatile, read and write access, no security attributes, so that a
    // new key takes the permissions its parent passes on. A backslash in `name` makes nested
    // keys, as on Windows.
    virtual OpenedKey createSubkey(const std::wstring& name) = 0;
    // RegOpenKeyExW for reading and writing; kRegistryKeyNotFound when there is no such key.
    virtual OpenedKey openSubkey(const std::wstring& name) = 0;
    // RegEnumKeyExW: the subkeys' names.
    virtual std::vector<std::wstring> subkeyNames() = 0;
    // RegDeleteTreeW: the subkey with everything in it.
    virtual std::uint32_t deleteSubkey(const std::wstring& name) = 0;
    // RegSetValueExW with REG_SZ (stored with its terminator) or REG_DWORD.
    virtual std::uint32_t setString(const std::wstring& name, const std::wstring& data) = 0;
    virtual std::uint32_t setDword(const std::wstring& name, std::uint32_t data) = 0;
    // RegGetValueW of a REG_SZ: nothing when the value is missing or of another type.
    virtual std::optional<std::wstring> readString(const std::wstring& name) = 0;
};

class Registry {
public:
    virtual ~Registry() = default;
    // RegCreateKeyExW under HKEY_LOCAL_MACHINE, as createSubkey: `path` is SOFTWARE\...
    virtual OpenedKey createKey(const std::wstring& path) = 0;
};

// The registry of the system this build runs on.
Registry& systemRegistry();

} // namespace tarn::platform
