#include "upgrade/CommandLines.h"

#include "upgrade/TarnUpgradeProcess.h"

namespace tarn::upgrade {
namespace {

constexpr wchar_t kToolName[] = L"dfu-util.exe";

std::wstring toolPrefix() {
    return quoteProgram(std::wstring(kServiceDirectory) + kToolName) + L" -d " + kVendorId + L":" +
           kRuntimeProductId + L"," + kVendorId + L":" + kDfuProductId;
}

} // namespace

std::wstring quoteArgument(std::wstring_view argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
        return std::wstring(argument);
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted += c;
    }
    // Backslashes before the closing quote would escape it.
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

std::wstring quoteProgram(std::wstring_view path) {
    return L"\"" + std::wstring(path) + L"\"";
}

std::wstring listingCommandLine() {
    return quoteProgram(std::wstring(kServiceDirectory) + kToolName) + L" -l";
}

std::wstring detachCommandLine(std::wstring_view serial, std::int32_t cfgId) {
    return toolPrefix() + L" -S " + quoteArgument(serial) + L" -c " + std::to_wstring(cfgId) +
           L" -e -f";
}

std::wstring downloadCommandLine(std::wstring_view serial, std::wstring_view packagePath) {
    return toolPrefix() + L" -S " + quoteArgument(serial) + L" -D " + quoteArgument(packagePath);
}

} // namespace tarn::upgrade
