// What the Win32 seam tests share: the helper child and small file helpers.
#pragma once

#include <string>
#include <string_view>
#include <vector>
#include <windows.h>

namespace tarn::platform::test {

// A path next to this test executable.
inline std::wstring besideTestExecutable(std::wstring_view name) {
    std::wstring path(MAX_PATH, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), MAX_PATH);
    path.resize(length);
    path.erase(path.find_last_of(L'\\') + 1);
    return path + std::wstring(name);
}

inline std::wstring helperPath() {
    return besideTestExecutable(L"win-argv-echo.exe");
}

inline bool writeFile(const std::wstring& path, std::string_view bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

} // namespace tarn::platform::test
