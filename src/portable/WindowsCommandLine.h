// Windows command lines are one string; the child's C runtime splits it into arguments. Both
// directions live here, so that what is joined and what is split follow one set of rules.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarn::portable {

// Splits a command line as the Microsoft C runtime (2008 and later) does for main():
// - the program name runs to the first blank or tab, or, when it starts with a double quote,
//   to the next double quote, with no escapes;
// - then arguments are separated by blanks and tabs outside double quotes; 2n backslashes
//   before a double quote give n backslashes and the quote opens or closes quoting; 2n+1
//   give n backslashes and a literal quote; "" inside quotes is a literal quote; other
//   backslashes are literal.
std::vector<std::wstring> splitWindowsCommandLine(std::wstring_view commandLine);

// One argument as the child's C runtime will split it back: as it is when it is not empty and
// holds no blank, tab, line feed, vertical tab or double quote (nor any of `alsoQuoted`),
// otherwise in double quotes, with 2n+1 backslashes before a literal quote and 2n before the
// closing one. `alsoQuoted` serves command lines that a shell reads as well (cmd's "&").
std::wstring quoteArgument(std::wstring_view argument, std::wstring_view alsoQuoted = {});

// The executable, in double quotes: unquoted, a path with blanks lets Windows try
// "C:\Program.exe" first, and the service runs as LocalSystem.
std::wstring quoteProgram(std::wstring_view path);

} // namespace tarn::portable
