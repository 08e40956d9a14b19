// A registry in memory: keys by full path, each key along a created path made as
// RegCreateKeyExW makes them (so a backslash in a name nests), and a failure on demand. Names
// compare exactly: the tests use one spelling each.
#pragma once

#include "platform/Registry.h"

#include <map>
#include <variant>

namespace tarn::fakes {

class FakeRegistry final : public platform::Registry {
public:
    using Values = std::map<std::wstring, std::variant<std::wstring, std::uint32_t>>;
    std::map<std::wstring, Values> keys;
    std::uint32_t failCreate = 0; // the error createKey gives, when not 0

    platform::OpenedKey createKey(const std::wstring& path) override {
        if (failCreate != 0) {
            return {nullptr, failCreate};
        }
        for (std::size_t at = path.find(L'\\');; at = path.find(L'\\', at + 1)) {
            keys[path.substr(0, at)];
            if (at == std::wstring::npos) {
                return {std::make_unique<Key>(*this, path), 0};
            }
        }
    }

private:
    struct Key final : platform::RegistryKey {
        Key(FakeRegistry& o, std::wstring p) : owner(o), path(std::move(p)) {}
        platform::OpenedKey createSubkey(const std::wstring& name) override {
            return owner.createKey(path + L"\\" + name);
        }
        platform::OpenedKey openSubkey(const std::wstring& name) override {
            if (!owner.keys.contains(path + L"\\" + name)) {
                return {nullptr, platform::kRegistryKeyNotFound};
            }
            return {std::make_unique<Key>(owner, path + L"\\" + name), 0};
        }
        std::vector<std::wstring> subkeyNames() override {
            std::vector<std::wstring> names;
            for (const auto& [full, values] : owner.keys) {
                const std::wstring prefix = path + L"\\";
                if (full.starts_with(prefix) && full.find(L'\\', prefix.size()) == full.npos) {
                    names.push_back(full.substr(prefix.size()));
                }
            }
            return names;
        }
        std::uint32_t deleteSubkey(const std::wstring& name) override {
            const std::wstring full = path + L"\\" + name;
            const auto under = [&](const auto& key) {
                return key.first == full || key.first.starts_with(full + L"\\");
            };
            return std::erase_if(owner.keys, under) > 0 ? 0 : platform::kRegistryKeyNotFound;
        }
        std::uint32_t setString(const std::wstring& name, const std::wstring& data) override {
            owner.keys.at(path)[name] = data;
            return 0;
        }
        std::uint32_t setDword(const std::wstring& name, std::uint32_t data) override {
            owner.keys.at(path)[name] = data;
            return 0;
        }
        std::optional<std::wstring> readString(const std::wstring& name) override {
            const auto& values = owner.keys.at(path);
            const auto found = values.find(name);
            const auto* text = found == values.end() ? nullptr : std::get_if<0>(&found->second);
            return text ? std::optional(*text) : std::nullopt;
        }

        FakeRegistry& owner;
        std::wstring path;
    };
};

} // namespace tarn::fakes
