#include "upgrade/CommandLines.h"

#include "portable/WindowsCommandLine.h"
#include "upgrade/TarnUpgradeProcess.h"

namespace tarn::upgrade {
namespace {

using portable::quoteArgument;
using portable::quoteProgram;

constexpr wchar_t kToolName[] = L"dfu-util.exe";

std::wstring toolPrefix() {
    return quoteProgram(std::wstring(kServiceDirectory) + kToolName) + L" -d " + kVendorId + L":" +
           kRuntimeProductId + L"," + kVendorId + L":" + kDfuProductId;
}

} // namespace

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
