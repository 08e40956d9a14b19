#include "platform/standin/SysRoot.h"

#include "portable/Utf8.h"

#include <cstdlib>

namespace tarn::platform::standin {

std::optional<std::filesystem::path> sysRoot() {
    // The environment changes only before any thread starts, so this read races with no writer.
    const char* root = std::getenv(kSysRootVariable); // NOLINT(concurrency-mt-unsafe)
    if (root == nullptr || *root == '\0') {
        return std::nullopt;
    }
    return std::filesystem::path(root);
}

std::optional<std::filesystem::path> toHostPath(std::wstring_view windowsPath) {
    if (windowsPath.size() < 2 || windowsPath[1] != L':') {
        return std::nullopt;
    }
    const wchar_t drive = windowsPath[0];
    std::filesystem::path base;
    if (drive == L'C' || drive == L'c') {
        auto root = sysRoot();
        if (!root) {
            return std::nullopt;
        }
        base = *root;
    } else if (drive == L'Z' || drive == L'z') {
        base = "/";
    } else {
        return std::nullopt;
    }
    std::filesystem::path result = base;
    std::wstring_view rest = windowsPath.substr(2);
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find_first_of(L"\\/", start);
        if (end == std::wstring_view::npos) {
            end = rest.size();
        }
        if (end > start) {
            result /= portable::toUtf8(rest.substr(start, end - start));
        }
        start = end + 1;
    }
    // Keep a closing separator: a directory path stays one.
    if (!rest.empty() && (rest.back() == L'\\' || rest.back() == L'/')) {
        result /= "";
    }
    return result;
}

std::wstring toWindowsPath(const std::filesystem::path& hostPath) {
    const std::filesystem::path absolute = std::filesystem::absolute(hostPath).lexically_normal();
    std::wstring drive = L"Z:";
    std::filesystem::path rest = absolute;
    if (auto root = sysRoot()) {
        const auto normalRoot = std::filesystem::absolute(*root).lexically_normal();
        auto relative = absolute.lexically_relative(normalRoot);
        if (!relative.empty() && *relative.begin() != "..") {
            drive = L"C:";
            rest = relative == "." ? std::filesystem::path() : relative;
        }
    }
    std::wstring out = drive;
    for (const auto& part : rest) {
        const std::string name = part.string();
        if (name == "/" || name.empty()) {
            continue;
        }
        out += L'\\';
        out += portable::fromUtf8(name);
    }
    if (out.size() == 2) {
        out += L'\\';
    }
    return out;
}

} // namespace tarn::platform::standin
