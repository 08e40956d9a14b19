// Planted where an unquoted "C:\Program Files\..." would lead Windows first: if it ever runs,
// it leaves C:\planted-program-ran behind.
#include <windows.h>

int wmain() {
    HANDLE file = CreateFileW(L"C:\\planted-program-ran", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return 0;
}
