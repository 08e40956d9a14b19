#include "portable/WindowsCommandLine.h"

namespace tarn::portable {
namespace {

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

} // namespace

std::vector<std::wstring> splitWindowsCommandLine(std::wstring_view line) {
    std::vector<std::wstring> args;
    std::size_t pos = 0;

    // The program name.
    std::wstring program;
    if (pos < line.size() && line[pos] == L'"') {
        ++pos;
        while (pos < line.size() && line[pos] != L'"') {
            program += line[pos++];
        }
        if (pos < line.size()) {
            ++pos;
        }
    } else {
        while (pos < line.size() && !isBlank(line[pos])) {
            program += line[pos++];
        }
    }
    args.push_back(std::move(program));

    while (true) {
        while (pos < line.size() && isBlank(line[pos])) {
            ++pos;
        }
        if (pos >= line.size()) {
            break;
        }
        std::wstring arg;
        bool quoted = false;
        while (pos < line.size() && (quoted || !isBlank(line[pos]))) {
            if (line[pos] == L'\\') {
                std::size_t count = 0;
                while (pos < line.size() && line[pos] == L'\\') {
                    ++count;
                    ++pos;
                }
                if (pos < line.size() && line[pos] == L'"') {
                    arg.append(count / 2, L'\\');
                    if (count % 2 == 1) {
                        arg += L'"';
                        ++pos;
                    }
                } else {
                    arg.append(count, L'\\');
                }
            } else if (line[pos] == L'"') {
                if (quoted && pos + 1 < line.size() && line[pos + 1] == L'"') {
                    arg += L'"';
                    pos += 2;
                } else {
                    quoted = !quoted;
                    ++pos;
                }
            } else {
                arg += line[pos++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::wstring quoteArgument(std::wstring_view argument, std::wstring_view alsoQuoted) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos &&
        (alsoQuoted.empty() || argument.find_first_of(alsoQuoted) == std::wstring_view::npos)) {
        return std::wstring(argument);
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
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

} // namespace tarn::portable
