// The registry through advapi32. Keys are opened in the 64-bit view whatever the build, so that
// the record lies where the package and an administrator's tools look for it.
#include "platform/Registry.h"
#include "platform/win32/UniqueHandles.h"

namespace tarn::platform {
namespace {

using win32::UniqueRegistryKey;

// Reading and writing, and DELETE for RegDeleteTreeW below the key.
constexpr REGSAM kAccess = KEY_READ | KEY_WRITE | DELETE | KEY_WOW64_64KEY;
// The longest key name the registry allows, with its terminator.
constexpr DWORD kMaxKeyName = 256;

class Win32Key final : public RegistryKey {
public:
    explicit Win32Key(UniqueRegistryKey key) : key_(std::move(key)) {}

    static OpenedKey create(HKEY parent, const std::wstring& name) {
        UniqueRegistryKey key;
        // No security attributes: the key inherits its parent's permissions, which under
        // HKEY_LOCAL_MACHINE\SOFTWARE let only administrators and SYSTEM write.
        const LSTATUS status =
            RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kAccess,
                            nullptr, key.put(), nullptr);
        return opened(status, std::move(key));
    }

    OpenedKey createSubkey(const std::wstring& name) override { return create(key_.get(), name); }

    OpenedKey openSubkey(const std::wstring& name) override {
        UniqueRegistryKey key;
        const LSTATUS status = RegOpenKeyExW(key_.get(), name.c_str(), 0, kAccess, key.put());
        return opened(status, std::move(key));
    }

    std::vector<std::wstring> subkeyNames() override {
        std::vector<std::wstring> names;
        for (DWORD index = 0;; ++index) {
            wchar_t name[kMaxKeyName];
            DWORD length = kMaxKeyName;
            if (RegEnumKeyExW(key_.get(), index, name, &length, nullptr, nullptr, nullptr,
                              nullptr) != ERROR_SUCCESS) {
                return names;
            }
            names.emplace_back(name, length);
        }
    }

    std::uint32_t deleteSubkey(const std::wstring& name) override {
        return static_cast<std::uint32_t>(RegDeleteTreeW(key_.get(), name.c_str()));
    }

    std::uint32_t setString(const std::wstring& name, const std::wstring& data) override {
        const auto bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
        return static_cast<std::uint32_t>(
            RegSetValueExW(key_.get(), name.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(data.c_str()), bytes));
    }

    std::uint32_t setDword(const std::wstring& name, std::uint32_t data) override {
        const DWORD value = data;
        return static_cast<std::uint32_t>(RegSetValueExW(key_.get(), name.c_str(), 0, REG_DWORD,
                                                         reinterpret_cast<const BYTE*>(&value),
                                                         sizeof value));
    }

    std::optional<std::wstring> readString(const std::wstring& name) override {
        DWORD bytes = 0;
        if (RegGetValueW(key_.get(), nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr,
                         &bytes) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        if (RegGetValueW(key_.get(), nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, text.data(),
                         &bytes) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        // RegGetValueW terminates what it returns and counts the terminator.
        text.resize(bytes / sizeof(wchar_t) - (bytes >= sizeof(wchar_t) ? 1 : 0));
        return text;
    }

private:
    static OpenedKey opened(LSTATUS status, UniqueRegistryKey key) {
        if (status != ERROR_SUCCESS) {
            return {nullptr, static_cast<std::uint32_t>(status)};
        }
        return {std::make_unique<Win32Key>(std::move(key)), 0};
    }

    UniqueRegistryKey key_;
};

class Win32Registry final : public Registry {
public:
    OpenedKey createKey(const std::wstring& path) override {
        return Win32Key::create(HKEY_LOCAL_MACHINE, path);
    }
};

} // namespace

Registry& systemRegistry() {
    static Win32Registry registry;
    return registry;
}

} // namespace tarn::platform
