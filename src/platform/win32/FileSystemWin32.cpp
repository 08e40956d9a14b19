#include "platform/Files.h"
#include "platform/win32/UniqueHandles.h"

#include <cstdio>
#include <windows.h>

namespace tarn::platform {
namespace {

using win32::UniqueFile;
using win32::UniqueFindHandle;
using win32::UniqueHandle;

FILETIME toFileTime(std::uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

class Win32BinaryFile final : public BinaryFile {
public:
    explicit Win32BinaryFile(UniqueFile file) : file_(std::move(file)) {}

    std::size_t read(std::span<std::uint8_t> buffer) override {
        if (!file_ || buffer.empty()) {
            return 0;
        }
        return std::fread(buffer.data(), 1, buffer.size(), file_.get());
    }

    bool close() override {
        if (!file_) {
            return false;
        }
        return std::fclose(file_.release()) == 0;
    }

private:
    UniqueFile file_;
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

    bool deleteFile(const std::wstring& path) override { return DeleteFileW(path.c_str()) != 0; }

    std::unique_ptr<BinaryFile> openForReading(const std::wstring& path) override {
        // Binary: text mode would turn 0x1A into an end of file and CR LF into LF in the tail
        // that holds the package's version.
        UniqueFile file(_wfopen(path.c_str(), L"rb"));
        if (!file) {
            return nullptr;
        }
        return std::make_unique<Win32BinaryFile>(std::move(file));
    }
};

} // namespace

FileSystem& systemFileSystem() {
    static Win32FileSystem fileSystem;
    return fileSystem;
}

} // namespace tarn::platform
