#include "platform/standin/RegistryStore.h"

#include "platform/standin/ServiceStore.h"
#include "portable/AsciiCase.h"
#include "portable/Utf8.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

namespace tarn::platform::standin {
namespace {

constexpr char kSzName[] = "REG_SZ";
constexpr char kDwordName[] = "REG_DWORD";

std::string escape(std::wstring_view text) {
    std::string out;
    for (const wchar_t c : text) {
        // A wchar_t, not a char: a negative 32-bit value is no control character.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c)
        const auto code = static_cast<std::uint32_t>(c);
        if (code == L'%' || code < 0x20 || code == 0x7F) {
            constexpr char kHex[] = "0123456789ABCDEF";
            out += {'%', kHex[code >> 4], kHex[code & 0xF]};
        } else {
            out += portable::toUtf8(std::wstring_view(&c, 1));
        }
    }
    return out;
}

std::wstring unescape(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned code = 0;
        if (text[i] == '%' && i + 2 < text.size() &&
            std::from_chars(text.data() + i + 1, text.data() + i + 3, code, 16).ptr ==
                text.data() + i + 3) {
            bytes += static_cast<char>(code);
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return portable::fromUtf8(bytes);
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t tab = line.find('\t'); tab != std::string_view::npos;
         tab = line.find('\t', start)) {
        out.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    out.push_back(line.substr(start));
    return out;
}

} // namespace

std::optional<std::filesystem::path> registryFile() {
    // Beside the services' store, in the system's config folder.
    const auto services = serviceStoreDirectory();
    return services ? std::optional(services->parent_path() / "registry") : std::nullopt;
}

bool sameRegistryName(std::wstring_view a, std::wstring_view b) {
    return std::ranges::equal(a, b, portable::sameIgnoringAsciiCase);
}

std::vector<std::wstring> splitKeyPath(std::wstring_view path) {
    std::vector<std::wstring> out;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(L'\\', start), path.size());
        if (end > start) {
            out.emplace_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return out;
}

std::wstring joinKeyPath(const std::vector<std::wstring>& path) {
    std::wstring out;
    for (const auto& part : path) {
        out += (out.empty() ? L"" : L"\\") + part;
    }
    return out;
}

std::string formatRegistry(const StoredRegistry& registry) {
    std::string out;
    for (const auto& key : registry) {
        std::string line;
        for (const auto& part : key.path) {
            // A backslash in a stored component could only come from a damaged file.
            line += (line.empty() ? "" : "\\") + escape(part);
        }
        out += line + '\n';
        for (const auto& value : key.values) {
            out += '\t' + escape(value.name) + '\t' +
                   (value.type == kRegDword
                        ? std::string(kDwordName) + '\t' + std::to_string(value.number)
                        : std::string(kSzName) + '\t' + escape(value.text)) +
                   '\n';
        }
    }
    return out;
}

StoredRegistry parseRegistry(std::string_view text) {
    StoredRegistry registry;
    std::istringstream in{std::string(text)};
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) {
            continue;
        }
        if (line.front() != '\t') {
            StoredKey key;
            for (const auto& part : splitKeyPath(portable::fromUtf8(line))) {
                key.path.push_back(unescape(portable::toUtf8(part)));
            }
            registry.push_back(std::move(key));
            continue;
        }
        const auto parts = fields(std::string_view(line).substr(1));
        if (registry.empty() || parts.size() != 3) {
            continue;
        }
        StoredValue value{unescape(parts[0])};
        if (parts[1] == kDwordName) {
            value.type = kRegDword;
            std::from_chars(parts[2].data(), parts[2].data() + parts[2].size(), value.number);
        } else {
            value.text = unescape(parts[2]);
        }
        registry.back().values.push_back(std::move(value));
    }
    return registry;
}

StoredRegistry readRegistry(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return parseRegistry(text.str());
}

bool writeRegistry(const std::filesystem::path& file, const StoredRegistry& registry) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    return replaceFile(file, formatRegistry(registry));
}

StoredKey* findKey(StoredRegistry& registry, const std::vector<std::wstring>& path) {
    const auto found = std::ranges::find_if(registry, [&](const StoredKey& key) {
        return std::ranges::equal(key.path, path, sameRegistryName);
    });
    return found == registry.end() ? nullptr : &*found;
}

bool isAtOrBelow(const std::vector<std::wstring>& path, const std::vector<std::wstring>& ancestor) {
    return path.size() >= ancestor.size() &&
           std::equal(ancestor.begin(), ancestor.end(), path.begin(), sameRegistryName);
}

} // namespace tarn::platform::standin
