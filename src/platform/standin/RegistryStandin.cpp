// The stand-in registry: every call reads the store, and a change writes it back, under the
// store's lock, so that tarn-sc sees each change whole.
#include "platform/Registry.h"
#include "platform/standin/RegistryStore.h"
#include "platform/standin/ServiceStore.h"

#include <algorithm>

namespace tarn::platform {
namespace {

using namespace standin;

constexpr std::uint32_t kErrorKeyDeleted = 1018; // the open key is gone

class StandinKey final : public RegistryKey {
public:
    explicit StandinKey(std::vector<std::wstring> path) : path_(std::move(path)) {}

    OpenedKey createSubkey(const std::wstring& name) override {
        auto path = pathOf(name);
        const std::uint32_t error = change([&](StoredRegistry& registry) {
            for (std::size_t n = path_.size() + 1; n <= path.size(); ++n) {
                const std::vector<std::wstring> prefix(
                    path.begin(), path.begin() + static_cast<std::ptrdiff_t>(n));
                if (!findKey(registry, prefix)) {
                    registry.push_back({prefix, {}});
                }
            }
            return std::uint32_t{0};
        });
        return opened(error, std::move(path));
    }

    OpenedKey openSubkey(const std::wstring& name) override {
        auto path = pathOf(name);
        auto registry = current();
        return opened(findKey(registry, path) ? 0 : kRegistryKeyNotFound, std::move(path));
    }

    std::vector<std::wstring> subkeyNames() override {
        std::vector<std::wstring> names;
        for (const auto& key : current()) {
            if (key.path.size() == path_.size() + 1 && isAtOrBelow(key.path, path_)) {
                names.push_back(key.path.back());
            }
        }
        return names;
    }

    std::uint32_t deleteSubkey(const std::wstring& name) override {
        const auto path = pathOf(name);
        return change([&](StoredRegistry& registry) {
            return std::erase_if(
                       registry,
                       [&](const StoredKey& key) { return isAtOrBelow(key.path, path); }) > 0
                       ? 0
                       : kRegistryKeyNotFound;
        });
    }

    std::uint32_t setString(const std::wstring& name, const std::wstring& data) override {
        return setValue({name, kRegSz, data});
    }

    std::uint32_t setDword(const std::wstring& name, std::uint32_t data) override {
        return setValue({name, kRegDword, {}, data});
    }

    std::optional<std::wstring> readString(const std::wstring& name) override {
        auto registry = current();
        if (const auto* key = findKey(registry, path_)) {
            for (const auto& value : key->values) {
                if (sameRegistryName(value.name, name) && value.type == kRegSz) {
                    return value.text;
                }
            }
        }
        return std::nullopt;
    }

private:
    std::vector<std::wstring> pathOf(const std::wstring& name) const {
        auto path = path_;
        std::ranges::move(splitKeyPath(name), std::back_inserter(path));
        return path;
    }

    static OpenedKey opened(std::uint32_t error, std::vector<std::wstring> path) {
        if (error != 0) {
            return {nullptr, error};
        }
        return {std::make_unique<StandinKey>(std::move(path)), 0};
    }

    static StoredRegistry current() {
        const auto file = registryFile();
        if (!file) {
            return {};
        }
        StoreLock lock(file->parent_path());
        return readRegistry(*file);
    }

    // Runs `edit` on the store while it holds the lock, and writes the result unless the edit
    // failed. `edit` fails with kErrorKeyDeleted when this key is gone.
    template <class Edit> std::uint32_t change(Edit edit) {
        const auto file = registryFile();
        if (!file) {
            return kErrorFileNotFound;
        }
        std::error_code ec;
        std::filesystem::create_directories(file->parent_path(), ec);
        StoreLock lock(file->parent_path());
        auto registry = readRegistry(*file);
        // The root key is never stored: it always exists.
        if (path_.size() > 1 && !findKey(registry, path_)) {
            return kErrorKeyDeleted;
        }
        const std::uint32_t error = edit(registry);
        if (error == 0 && !writeRegistry(*file, registry)) {
            return kErrorAccessDenied;
        }
        return error;
    }

    std::uint32_t setValue(StoredValue value) {
        if (path_.size() < 2) {
            return kErrorAccessDenied; // as Windows refuses values on HKEY_LOCAL_MACHINE
        }
        return change([&](StoredRegistry& registry) {
            auto& values = findKey(registry, path_)->values;
            const auto same = std::ranges::find_if(
                values, [&](const StoredValue& v) { return sameRegistryName(v.name, value.name); });
            if (same == values.end()) {
                values.push_back(std::move(value));
            } else {
                *same = std::move(value);
            }
            return std::uint32_t{0};
        });
    }

    std::vector<std::wstring> path_;
};

class StandinRegistry final : public Registry {
public:
    OpenedKey createKey(const std::wstring& path) override {
        return StandinKey({kLocalMachine}).createSubkey(path);
    }
};

} // namespace

Registry& systemRegistry() {
    static StandinRegistry registry;
    return registry;
}

} // namespace tarn::platform
