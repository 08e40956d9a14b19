// The three dfu-util command lines. Every argument goes through the one quoting rule,
// platform::quoteArgument.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarn::upgrade {

// The executable, in double quotes: unquoted, a path with blanks lets Windows try
// "C:\Program.exe" first, and the service runs as LocalSystem.
std::wstring quoteProgram(std::wstring_view path);

std::wstring listingCommandLine();
std::wstring detachCommandLine(std::wstring_view serial, std::int32_t cfgId);
std::wstring downloadCommandLine(std::wstring_view serial, std::wstring_view packagePath);

} // namespace tarn::upgrade
