// Renders events through the event-message DLL the way Event Viewer does: the DLL loaded as a
// data file, each event's text made by FormatMessageW from the message of its event ID with the
// event's insertion strings as an argument array. Every rendering must be exactly the one
// insertion string, whatever it holds.
//   dll PATH       the DLL at PATH, a path of the build (Unix) or of the prefix (Windows)
//   source NAME    the DLL that the event source NAME of the Application log names in the
//                  registry (EventMessageFile, a REG_EXPAND_SZ), with its TypesSupported
// Prints one line per problem and exits with 1 when there was any.
#include "WineSupport.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <windows.h>

namespace {

int problems = 0;

// Text for a message line: what is not printable ASCII as \uXXXX.
std::wstring escaped(const std::wstring& text) {
    std::wstring out;
    for (const wchar_t c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += c;
        } else {
            wchar_t code[8];
            std::swprintf(code, 8, L"\\u%04X", static_cast<unsigned>(c));
            out += code;
        }
    }
    return out;
}

void problem(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfwprintf(stdout, format, args);
    va_end(args);
    std::fputwc(L'\n', stdout);
    ++problems;
}

// The message file of an event source, as Event Viewer finds it; empty when there is none.
std::wstring messageFileOf(const wchar_t* source) {
    const std::wstring key =
        std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + source;
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"EventMessageFile",
                                  RRF_RT_ANY | RRF_NOEXPAND, &type, value, &size);
    if (status != ERROR_SUCCESS) {
        problem(L"%ls: no EventMessageFile (error %ld)", source, status);
        return {};
    }
    if (type != REG_EXPAND_SZ) {
        problem(L"%ls: EventMessageFile has the type %lu, not REG_EXPAND_SZ", source, type);
    }
    DWORD types = 0;
    size = sizeof(types);
    status = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"TypesSupported", RRF_RT_REG_DWORD,
                          nullptr, &types, &size);
    if (status != ERROR_SUCCESS || types != 7) {
        problem(L"%ls: TypesSupported is %lu (error %ld), expected 7", source, types, status);
    }
    wchar_t expanded[MAX_PATH] = {};
    if (ExpandEnvironmentStringsW(value, expanded, MAX_PATH) == 0) {
        problem(L"%ls: cannot expand \"%ls\"", source, value);
        return {};
    }
    return expanded;
}

struct LibraryCloser {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};

// Event IDs of both sources' counters (the service's from 1, the engine's from 21), and the
// table's two ends.
constexpr DWORD kEventIds[] = {0, 1, 2, 21, 22, 1000, 65534, 65535};

int check(const std::wstring& path) {
    const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        problem(L"LoadLibraryExW(\"%ls\") failed with %lu", path.c_str(), GetLastError());
        return 1;
    }
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryCloser> owner(module);

    const std::wstring longText(255, L'x');
    // Texts as the service reports them, and texts that a second interpretation would change:
    // insert and escape sequences of FormatMessage, printf-style conversions, non-ASCII text.
    const wchar_t* const texts[] = {
        L"run Tarn windows update normally.",
        L"TarnUpgradeProcess TarnUpdateResult is 4",
        L"Gr\u00f6\u00dfe \u00e9t\u00e9 \u65e5\u672c \u20ac \U0001F50C done",
        L"100% done, %1 %2 %% %n %0 %r %t %. %! %b",
        L"!s! %1!s! %1!d! !!",
        L"C:\\Program Files\\Vantor\\Tarn\\Services\\fw-%s.dfu\r\nline two",
        longText.c_str(),
    };
    for (const DWORD id : kEventIds) {
        for (const wchar_t* text : texts) {
            DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text)};
            wchar_t* rendered = nullptr;
            const DWORD length =
                FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                   FORMAT_MESSAGE_ALLOCATE_BUFFER,
                               module, id, 0, reinterpret_cast<wchar_t*>(&rendered), 0,
                               reinterpret_cast<va_list*>(arguments));
            if (length == 0) {
                problem(L"ID %lu: FormatMessageW failed with %lu", id, GetLastError());
                continue;
            }
            if (std::wstring(rendered, length) != text) {
                problem(L"ID %lu: \"%ls\" rendered as \"%ls\"", id, escaped(text).c_str(),
                        escaped(std::wstring(rendered, length)).c_str());
            }
            LocalFree(rendered);
        }
    }
    // The first ID beyond the table: a message of another table would be a fault in the build.
    wchar_t* rendered = nullptr;
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(L"x")};
    if (FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                           FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       module, 65536, 0, reinterpret_cast<wchar_t*>(&rendered), 0,
                       reinterpret_cast<va_list*>(arguments)) != 0) {
        problem(L"ID 65536 has a message: \"%ls\"", rendered);
        LocalFree(rendered);
    }
    return problems == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    using tarn::winetest::widen;
    if (argc == 3 && std::strcmp(argv[1], "dll") == 0) {
        return check(argv[2][0] == '/' ? tarn::winetest::windowsPathOf(argv[2]) : widen(argv[2]));
    }
    if (argc == 3 && std::strcmp(argv[1], "source") == 0) {
        const std::wstring path = messageFileOf(widen(argv[2]).c_str());
        return path.empty() ? 1 : check(path);
    }
    std::fputws(L"usage: tarn_message_file_probe dll PATH | source NAME\n", stderr);
    return 2;
}
