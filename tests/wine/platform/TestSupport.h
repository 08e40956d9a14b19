// What the Win32 seam tests share: the helper child, a scratch folder, small file helpers.
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

// A fresh folder under the temporary folder, removed with everything in it at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        wchar_t base[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, base);
        static unsigned counter = 0;
        path_ = std::wstring(base) + L"tarn-platform-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(++counter) + L"\\";
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() { removeTree(path_); }

    // The folder's path, ending with a backslash.
    const std::wstring& path() const { return path_; }
    std::wstring operator/(std::wstring_view name) const { return path_ + std::wstring(name); }

private:
    static void removeTree(const std::wstring& folder) {
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW((folder + L"*").c_str(), &data);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") {
                    continue;
                }
                const std::wstring path = folder + name;
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    removeTree(path + L"\\");
                } else {
                    DeleteFileW(path.c_str());
                }
            } while (FindNextFileW(search, &data));
            FindClose(search);
        }
        RemoveDirectoryW(folder.c_str());
    }

    std::wstring path_;
};

} // namespace tarn::platform::test
