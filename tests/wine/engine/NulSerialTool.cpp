// Stands in for dfu-util with a listing whose serial holds a NUL. Any run but the listing
// leaves "tool-ran" beside it, so that a test sees whether a command line was ever started.
#include <cstdio>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"-l") == 0) {
        static const char kListing[] =
            "dfu-util 0.11\n"
            "Found DFU: [7c3e:5711] ver=0102, devnum=4, cfg=1, intf=0, path=\"1-1\", alt=0, "
            "serial=\"SN\0"
            "001\"\n";
        _setmode(_fileno(stdout), _O_BINARY);
        std::fwrite(kListing, 1, sizeof kListing - 1, stdout);
        return 0;
    }
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = std::wcsrchr(path, L'\\');
    if (length == 0 || length >= MAX_PATH || slash == nullptr || slash + 9 >= path + MAX_PATH) {
        return 2;
    }
    std::wcscpy(slash + 1, L"tool-ran");
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return 0;
}
