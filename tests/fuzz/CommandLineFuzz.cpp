// Quoting against the C runtime's splitting: every argument must come back whole and alone.
#include "FuzzSupport.h"
#include "portable/WindowsCommandLine.h"
#include "upgrade/CommandLines.h"
#include "upgrade/TarnUpgradeProcess.h"

#include <string>
#include <vector>

using tarn::fuzz::require;
using namespace tarn::upgrade;
using tarn::portable::quoteArgument;
using tarn::portable::quoteProgram;
using Strings = std::vector<std::wstring>;

namespace {

const std::wstring kProgram = std::wstring(kServiceDirectory) + L"dfu-util.exe";

void checkArguments(const Strings& arguments) {
    std::wstring line = quoteProgram(kProgram);
    for (const auto& argument : arguments) {
        line += L' ';
        line += quoteArgument(argument);
    }
    Strings expected{kProgram};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    require(tarn::portable::splitWindowsCommandLine(line) == expected,
            "quoted arguments split back whole and alone");
}

void checkToolLines(const std::wstring& serial, std::int32_t cfgId, const std::wstring& package) {
    const std::wstring devices = std::wstring(kVendorId) + L":" + kRuntimeProductId + L"," +
                                 kVendorId + L":" + kDfuProductId;
    require(tarn::portable::splitWindowsCommandLine(detachCommandLine(serial, cfgId)) ==
                Strings{kProgram, L"-d", devices, L"-S", serial, L"-c", std::to_wstring(cfgId),
                        L"-e", L"-f"},
            "the detach line carries the serial as one argument");
    require(tarn::portable::splitWindowsCommandLine(downloadCommandLine(serial, package)) ==
                Strings{kProgram, L"-d", devices, L"-S", serial, L"-D", package},
            "the download line carries the serial and the path as one argument each");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // First byte: how bytes become code units; then the arguments, NUL-separated (a NUL cannot
    // be part of a Windows command line).
    const bool pairs = (data[0] & 1) != 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::wstring text = pairs ? tarn::fuzz::widenPairs(bytes) : tarn::fuzz::widen(bytes);
    Strings arguments;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(L'\0', start);
        arguments.push_back(text.substr(start, end == std::wstring::npos ? end : end - start));
        if (end == std::wstring::npos) {
            break;
        }
        start = end + 1;
    }
    checkArguments(arguments);
    const std::int32_t cfgId = static_cast<std::int8_t>(data[0]);
    const std::wstring package = arguments.size() > 1 ? arguments[1] : std::wstring(L"fw.dfu");
    checkToolLines(arguments[0], cfgId, std::wstring(kServiceDirectory) + package);
    return 0;
}
