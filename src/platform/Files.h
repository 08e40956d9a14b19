// The seam to the file system, for the firmware packages. Paths are Windows paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::platform {

// A file opened for binary reading that nobody else may change while it is open. On Windows
// it shares reading only: other readers open it, while a writer, a rename or a delete fails with
// a sharing violation. Linux has no such sharing mode: the stand-in holds a shared lock that
// only writers who lock the file themselves respect. The destructor closes it if close() was
// not called.
class BinaryFile {
public:
    struct Read {
        std::size_t bytes = 0; // 0 at the end of the file
        std::wstring failure;  // the system's reason when the read failed, else empty
    };

    virtual ~BinaryFile() = default;
    // Reads up to buffer.size() bytes.
    virtual Read read(std::span<std::uint8_t> buffer) = 0;
    // Closes the file; false when closing reported an error.
    virtual bool close() = 0;
};

// A file opened, or the system's reason why not.
struct OpenedFile {
    std::unique_ptr<BinaryFile> file;
    std::wstring failure;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // FindFirstFileW / FindNextFileW / FindClose: the names of the entries that match a
    // pattern such as C:\dir\*.dfu, in the order the search gives them (no filtering by
    // attributes). On Windows an entry whose 8.3 short name matches comes too ("fw.dfuold",
    // FW~1.DFU). Empty when nothing matches.
    virtual std::vector<std::wstring> findFiles(const std::wstring& pattern) = 0;

    // CreateFileW (read and write access, read sharing, existing file) and GetFileTime: the
    // file's creation time in 100-ns intervals since 1601. Nothing when the file cannot be
    // opened that way or the time cannot be read.
    virtual std::optional<std::uint64_t> creationTime(const std::wstring& path) = 0;

    // CompareFileTime: negative, zero or positive.
    virtual int compareFileTime(std::uint64_t first, std::uint64_t second) = 0;

    // CompareStringOrdinal ignoring case, as the file system compares names: negative, zero or
    // positive.
    virtual int compareNames(std::wstring_view first, std::wstring_view second) = 0;

    // DeleteFileW.
    virtual bool deleteFile(const std::wstring& path) = 0;

    // Opens a plain file for binary reading (a directory or a special file is refused).
    virtual OpenedFile openForReading(const std::wstring& path) = 0;
};

FileSystem& systemFileSystem();

} // namespace tarn::platform
