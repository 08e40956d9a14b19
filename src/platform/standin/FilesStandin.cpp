// The stand-in file system: host files under the Windows meaning of the Win32 file calls.
#include "platform/Files.h"
#include "platform/standin/SysRoot.h"
#include "platform/standin/UniqueFd.h"
#include "portable/AsciiCase.h"
#include "portable/Utf8.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <cwctype>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarn::platform {
namespace {

using standin::UniqueDir;
using standin::UniqueFd;

// Seconds from 1601-01-01 to 1970-01-01, the two epochs.
constexpr std::int64_t kEpochDifference = 11644473600;
constexpr std::int64_t kIntervalsPerSecond = 10'000'000;

// Windows keeps a read-only attribute; the stand-in takes a file without any write bit for
// one, also for root, who could otherwise write to anything.
bool isReadOnly(mode_t mode) {
    return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// Windows compares names by its upper-case table; towupper of the C.UTF-8 locale is close to
// it. Without that locale only ASCII letters fold.
wchar_t upper(wchar_t ch) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    if (utf8 != locale_t(nullptr)) {
        return static_cast<wchar_t>(::towupper_l(static_cast<wint_t>(ch), utf8));
    }
    return portable::asciiUpper(ch);
}

std::wstring upperCase(std::wstring_view text) {
    std::wstring out(text);
    std::transform(out.begin(), out.end(), out.begin(), upper);
    return out;
}

// '*' takes any run of characters, '?' exactly one; both sides are upper-cased already.
bool wildcardMatch(std::wstring_view pattern, std::wstring_view name) {
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t star = std::wstring_view::npos;
    std::size_t starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            starName = n;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

std::optional<std::string> hostPath(const std::wstring& path) {
    auto host = standin::toHostPath(path);
    if (!host) {
        return std::nullopt;
    }
    return host->string();
}

// The system's words for an errno value.
std::wstring systemReason(int error) {
    std::array<char, 256> text{};
    return portable::fromUtf8(::strerror_r(error, text.data(), text.size()));
}

class StandinBinaryFile final : public BinaryFile {
public:
    explicit StandinBinaryFile(UniqueFd fd) : fd_(std::move(fd)) {}

    Read read(std::span<std::uint8_t> buffer) override {
        std::size_t total = 0;
        while (fd_ && total < buffer.size()) {
            const ssize_t count = ::read(fd_.get(), buffer.data() + total, buffer.size() - total);
            if (count > 0) {
                total += static_cast<std::size_t>(count);
            } else if (count < 0 && errno == EINTR) {
                continue;
            } else if (count < 0 && total == 0) {
                return {0, systemReason(errno)};
            } else {
                break; // the end, or a failure the next read reports
            }
        }
        return {total, {}};
    }

    bool close() override { return fd_.close(); }

private:
    UniqueFd fd_;
};

class StandinFileSystem final : public FileSystem {
public:
    std::vector<std::wstring> findFiles(const std::wstring& pattern) override {
        const auto split = pattern.find_last_of(L"\\/");
        const std::wstring directory =
            split == std::wstring::npos ? pattern.substr(0, 2) : pattern.substr(0, split + 1);
        const std::wstring namePattern =
            upperCase(split == std::wstring::npos ? pattern.substr(2) : pattern.substr(split + 1));
        const auto host = hostPath(directory);
        if (!host || namePattern.empty()) {
            return {};
        }
        UniqueDir dir(::opendir(host->c_str()));
        if (!dir) {
            return {};
        }
        struct Entry {
            std::wstring upper;
            std::wstring name;
        };
        std::vector<Entry> found;
        // readdir is safe on a stream no other thread uses, as this one is.
        while (const dirent* entry = ::readdir(dir.get())) { // NOLINT(concurrency-mt-unsafe)
            const std::string_view raw = entry->d_name;
            if (raw == "." || raw == "..") {
                continue;
            }
            std::wstring name = portable::fromUtf8(raw);
            std::wstring folded = upperCase(name);
            if (wildcardMatch(namePattern, folded)) {
                found.push_back({std::move(folded), std::move(name)});
            }
        }
        // NTFS gives names in case-insensitive order; the exact name breaks ties so the
        // order never depends on the host directory's.
        std::sort(found.begin(), found.end(), [](const Entry& a, const Entry& b) {
            return a.upper != b.upper ? a.upper < b.upper : a.name < b.name;
        });
        std::vector<std::wstring> names;
        names.reserve(found.size());
        for (auto& entry : found) {
            names.push_back(std::move(entry.name));
        }
        return names;
    }

    std::optional<std::uint64_t> creationTime(const std::wstring& path) override {
        const auto host = hostPath(path);
        if (!host) {
            return std::nullopt;
        }
        // Read and write access, as the Windows open asks: a directory fails here too.
        // O_NONBLOCK: a device must not make the open wait.
        UniqueFd fd(::open(host->c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (!fd) {
            return std::nullopt;
        }
        struct statx info {};
        if (::statx(fd.get(), "", AT_EMPTY_PATH,
                    STATX_TYPE | STATX_MODE | STATX_BTIME | STATX_MTIME, &info) != 0 ||
            !S_ISREG(info.stx_mode) || isReadOnly(info.stx_mode)) {
            return std::nullopt;
        }
        // Without a birth time on this file system, the last write stands in for it.
        const statx_timestamp stamp =
            (info.stx_mask & STATX_BTIME) != 0 ? info.stx_btime : info.stx_mtime;
        const std::int64_t seconds = stamp.tv_sec + kEpochDifference;
        if (seconds < 0) {
            return std::nullopt; // before 1601: no FILETIME holds it
        }
        return static_cast<std::uint64_t>(seconds) * kIntervalsPerSecond + stamp.tv_nsec / 100;
    }

    int compareFileTime(std::uint64_t first, std::uint64_t second) override {
        return first < second ? -1 : first > second ? 1 : 0;
    }

    int compareNames(std::wstring_view first, std::wstring_view second) override {
        const std::wstring a = upperCase(first);
        const std::wstring b = upperCase(second);
        return a < b ? -1 : a > b ? 1 : 0;
    }

    bool deleteFile(const std::wstring& path) override {
        const auto host = hostPath(path);
        struct stat info {};
        // lstat: a link is removed itself, as Windows deletes a link and not its target.
        if (!host || ::lstat(host->c_str(), &info) != 0 || S_ISDIR(info.st_mode) ||
            (!S_ISLNK(info.st_mode) && isReadOnly(info.st_mode))) {
            return false;
        }
        return ::unlink(host->c_str()) == 0;
    }

    OpenedFile openForReading(const std::wstring& path) override {
        const auto host = hostPath(path);
        if (!host) {
            return {nullptr, systemReason(ENOENT)};
        }
        // Without O_NONBLOCK a FIFO's open waits for a writer, and a device's may wait too; on
        // a plain file the flag changes nothing.
        UniqueFd fd(::open(host->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (!fd) {
            return {nullptr, systemReason(errno)};
        }
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0) {
            return {nullptr, systemReason(errno)};
        }
        // Windows opens neither a directory nor, under a file's name, a FIFO or a device, and
        // a device such as /dev/zero would never end.
        if (S_ISDIR(info.st_mode)) {
            return {nullptr, systemReason(EISDIR)};
        }
        if (!S_ISREG(info.st_mode)) {
            return {nullptr, L"not a regular file"};
        }
        // The nearest Linux has to Windows' read-only sharing: a lock that writers who lock
        // respect, and that a writer holding one refuses us, as an open writer would there.
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        if (::fcntl(fd.get(), F_OFD_SETLK, &lock) != 0) {
            return {nullptr, systemReason(errno)};
        }
        return {std::make_unique<StandinBinaryFile>(std::move(fd)), {}};
    }
};

} // namespace

FileSystem& systemFileSystem() {
    static StandinFileSystem fileSystem;
    return fileSystem;
}

} // namespace tarn::platform
