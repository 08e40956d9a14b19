#include "ScCommands.h"

#include "platform/Service.h"
#include "platform/standin/SysRoot.h"
#include "portable/WindowsCommandLine.h"

#include <array>
#include <charconv>
#include <utility>

namespace tarn::sc {
namespace {

std::optional<std::uint32_t> parseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint32_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool isRegularFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

std::optional<std::filesystem::path> findProgram(std::wstring_view windowsName) {
    auto host = platform::standin::toHostPath(windowsName);
    if (!host) {
        return std::nullopt;
    }
    if (isRegularFile(*host)) {
        return host;
    }
    if (!host->has_extension()) {
        auto withExe = *host;
        withExe += ".exe";
        if (isRegularFile(withExe)) {
            return withExe;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::uint32_t> parseControlCode(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, std::uint32_t>, 7> names = {{
        {"stop", 1},
        {"pause", 2},
        {"continue", 3},
        {"interrogate", 4},
        {"shutdown", 5},
        {"paramchange", 6},
        {"preshutdown", 15},
    }};
    for (const auto& [name, code] : names) {
        if (text == name) {
            return code;
        }
    }
    auto value = parseNumber(text);
    if (!value || *value < 1 || *value > 255) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> parseEventType(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, std::uint32_t>, 6> names = {{
        {"arrival", platform::kDeviceArrival},
        {"queryremove", 0x8001},
        {"queryremovefailed", 0x8002},
        {"removepending", 0x8003},
        {"removecomplete", platform::kDeviceRemoveComplete},
        {"customevent", 0x8006},
    }};
    for (const auto& [name, code] : names) {
        if (text == name) {
            return code;
        }
    }
    return parseNumber(text);
}

std::optional<ServiceProgram> resolveServiceCommandLine(std::wstring_view commandLine) {
    const auto split = portable::splitWindowsCommandLine(commandLine);
    const bool quoted = !commandLine.empty() && commandLine.front() == L'"';
    if (quoted || commandLine.find_first_of(L" \t") == std::wstring_view::npos) {
        auto program = findProgram(split.front());
        if (!program) {
            return std::nullopt;
        }
        return ServiceProgram{*program, {split.begin() + 1, split.end()}};
    }
    // Unquoted with blanks: the program ends at one of the blanks, or at the end.
    std::size_t at = 0;
    while (true) {
        const std::size_t blank = commandLine.find_first_of(L" \t", at);
        const std::wstring_view candidate = commandLine.substr(0, blank);
        if (auto program = findProgram(candidate)) {
            std::vector<std::wstring> arguments;
            if (blank != std::wstring_view::npos) {
                // Split the rest behind a placeholder program name, which is then dropped.
                auto rest = portable::splitWindowsCommandLine(
                    std::wstring(L"x ") + std::wstring(commandLine.substr(blank)));
                arguments.assign(rest.begin() + 1, rest.end());
            }
            return ServiceProgram{*program, std::move(arguments)};
        }
        if (blank == std::wstring_view::npos) {
            return std::nullopt;
        }
        at = blank + 1;
    }
}

} // namespace tarn::sc
