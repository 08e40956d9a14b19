// The child that the process tests start. It works through its arguments as a list of commands:
//   args          print every argument, one a line, with its length: argv[i]=<length>:<text>
//   out TEXT      write TEXT to standard output      err TEXT   the same to standard error
//   fill N        write N bytes (a to z, repeated)   hex HEX    write the bytes HEX spells
//   sleep MS      sleep                              exit CODE  end at once with CODE
//   touch PATH    create the file PATH, to show how far it got
// Unknown words are skipped, so that a command line split in unexpected places still runs.
//
// With TARN_ARGV_ECHO_SPLITS set in its environment it runs no command: it prints how the C
// runtime split its command line (argv) and how CommandLineToArgvW splits it, each argument as
// the hexadecimal of its UTF-16 code units, which no argument can make ambiguous:
//   crt N / N lines / shell32 M / M lines
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <windows.h>
// After windows.h, whose types it needs.
#include <shellapi.h>

namespace {

std::string toUtf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), length, nullptr, nullptr);
    return out;
}

// Unbuffered, so that each command reaches the pipe as one write.
void write(DWORD which, std::string_view bytes) {
    DWORD written = 0;
    WriteFile(GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
              nullptr);
}

int hexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

std::string hexOf(std::wstring_view text) {
    std::string hex;
    char unit[5];
    for (const wchar_t c : text) {
        std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
        hex += unit;
    }
    return hex;
}

void printSplits(int argc, wchar_t** argv) {
    std::string text = "crt " + std::to_string(argc) + "\n";
    for (int k = 0; k < argc; ++k) {
        text += hexOf(argv[k]) + "\n";
    }
    int count = 0;
    wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
    text += "shell32 " + std::to_string(split != nullptr ? count : -1) + "\n";
    for (int k = 0; split != nullptr && k < count; ++k) {
        text += hexOf(split[k]) + "\n";
    }
    LocalFree(split);
    write(STD_OUTPUT_HANDLE, text);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (GetEnvironmentVariableW(L"TARN_ARGV_ECHO_SPLITS", nullptr, 0) != 0) {
        printSplits(argc, argv);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view command = argv[i];
        const bool hasValue = i + 1 < argc;
        if (command == L"args") {
            std::string text = "argc=" + std::to_string(argc) + "\n";
            for (int k = 0; k < argc; ++k) {
                const std::wstring_view arg = argv[k];
                text += "argv[" + std::to_string(k) + "]=" + std::to_string(arg.size()) + ":" +
                        toUtf8(arg) + "\n";
            }
            write(STD_OUTPUT_HANDLE, text);
        } else if (command == L"out" && hasValue) {
            write(STD_OUTPUT_HANDLE, toUtf8(argv[++i]));
        } else if (command == L"err" && hasValue) {
            write(STD_ERROR_HANDLE, toUtf8(argv[++i]));
        } else if (command == L"fill" && hasValue) {
            const long count = std::wcstol(argv[++i], nullptr, 10);
            std::string bytes(static_cast<std::size_t>(count), '\0');
            for (long k = 0; k < count; ++k) {
                bytes[static_cast<std::size_t>(k)] = static_cast<char>('a' + k % 26);
            }
            write(STD_OUTPUT_HANDLE, bytes);
        } else if (command == L"hex" && hasValue) {
            const std::wstring_view hex = argv[++i];
            std::string bytes;
            for (std::size_t k = 0; k + 1 < hex.size(); k += 2) {
                bytes += static_cast<char>(hexDigit(hex[k]) * 16 + hexDigit(hex[k + 1]));
            }
            write(STD_OUTPUT_HANDLE, bytes);
        } else if (command == L"sleep" && hasValue) {
            Sleep(static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10)));
        } else if (command == L"touch" && hasValue) {
            CloseHandle(CreateFileW(argv[++i], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        } else if (command == L"exit" && hasValue) {
            ExitProcess(static_cast<UINT>(std::wcstol(argv[++i], nullptr, 10)));
        }
    }
    return 0;
}
