// The three dfu-util command lines, and the one quoting rule every argument goes through.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarn::upgrade {

// An argument as the child's C runtime will split it back: as it is when it is non-empty and
// holds no white space or double quote, otherwise in double quotes, with 2n+1 backslashes
// before a literal quote and 2n before the closing one.
std::wstring quoteArgument(std::wstring_view argument);

// The executable, in double quotes: unquoted, a path with blanks lets Windows try
// "C:\Program.exe" first, and the service runs as LocalSystem.
std::wstring quoteProgram(std::wstring_view path);

std::wstring listingCommandLine();
std::wstring detachCommandLine(std::wstring_view serial, std::int32_t cfgId);
std::wstring downloadCommandLine(std::wstring_view serial, std::wstring_view packagePath);

} // namespace tarn::upgrade
