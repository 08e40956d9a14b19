#include "platform/Files.h"
#include "platform/win32/UniqueHandles.h"

#include <algorithm>
#include <array>
#include <windows.h>

namespace tarn::platform {
namespace {

using win32::UniqueFindHandle;
using win32::UniqueHandle;

FILETIME toFileTime(std::uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

// The system's own words for an error, without the line end FormatMessageW adds.
std::wstring errorText(DWORD error) {
    std::array<wchar_t, 512> text{};
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text.data(), static_cast<DWORD>(text.size()), nullptr);
    while (length > 0 &&
           (text[length - 1] == L'\n' || text[length - 1] == L'\r' || text[length - 1] == L' ')) {
        --length;
    }
    if (length == 0) {
        return L"error " + std::to_wstring(error);
    }
    return {text.data(), length};
}

class Win32BinaryFile final : public BinaryFile {
public:
    explicit Win32BinaryFile(UniqueHandle file) : file_(std::move(file)) {}

    Read read(std::span<std::uint8_t> buffer) override {
        if (!file_ || buffer.empty()) {
            return {};
        }
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
        DWORD count = 0;
        if (!ReadFile(file_.get(), buffer.data(), wanted, &count, nullptr)) {
            return {0, errorText(GetLastError())};
        }
        return {count, {}};
    }

    bool close() override {
        if (!file_) {
            return false;
        }
        return CloseHandle(file_.release()) != 0;
    }

private:
    UniqueHandle file_;
};

class Win32FileSystem final : public FileSystem {
public:
    std::vector<std::wstring> findFiles(const std::wstring& pattern) override {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data{};
        UniqueFindHandle search(FindFirstFileW(pattern.c_str(), &data));
        if (!search) {
            return names;
        }
        do {
            names.emplace_back(data.cFileName);
        } while (FindNextFileW(search.get(), &data));
        return names;
    }

    std::optional<std::uint64_t> creationTime(const std::wstring& path) override {
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) {
            return std::nullopt;
        }
        FILETIME creation{};
        if (!GetFileTime(file.get(), &creation, nullptr, nullptr)) {
            return std::nullopt;
        }
        return (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    }

    int compareFileTime(std::uint64_t first, std::uint64_t second) override {
        const FILETIME a = toFileTime(first);
        const FILETIME b = toFileTime(second);
        return CompareFileTime(&a, &b);
    }

    int compareNames(std::wstring_view first, std::wstring_view second) override {
        // CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN (1, 2, 3); no failure for valid text.
        return CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                                    static_cast<int>(second.size()), TRUE) -
               CSTR_EQUAL;
    }

    bool deleteFile(const std::wstring& path) override { return DeleteFileW(path.c_str()) != 0; }

    OpenedFile openForReading(const std::wstring& path) override {
        // Binary, and sharing reading only: what is checked cannot change before dfu-util,
        // which only reads, opens it too. A directory is refused by the open itself.
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file) {
            return {nullptr, errorText(GetLastError())};
        }
        if (GetFileType(file.get()) != FILE_TYPE_DISK) {
            return {nullptr, errorText(ERROR_INVALID_FUNCTION)};
        }
        return {std::make_unique<Win32BinaryFile>(std::move(file)), {}};
    }
};

} // namespace

FileSystem& systemFileSystem() {
    static Win32FileSystem fileSystem;
    return fileSystem;
}

} // namespace tarn::platform
