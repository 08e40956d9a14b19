// Owners of the stand-in's file descriptors and directory streams: each closes exactly once.
#pragma once

#include <dirent.h>
#include <unistd.h>
#include <utility>

namespace tarn::platform::standin {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        const int old = std::exchange(fd_, fd);
        if (old >= 0) {
            ::close(old);
        }
    }
    // Closes now and reports the result, for callers that must know it.
    bool close() {
        const int old = release();
        return old >= 0 && ::close(old) == 0;
    }

private:
    int fd_ = -1;
};

class UniqueDir {
public:
    explicit UniqueDir(DIR* dir) : dir_(dir) {}
    UniqueDir(const UniqueDir&) = delete;
    UniqueDir& operator=(const UniqueDir&) = delete;
    ~UniqueDir() {
        if (dir_ != nullptr) {
            ::closedir(dir_);
        }
    }

    DIR* get() const { return dir_; }
    explicit operator bool() const { return dir_ != nullptr; }

private:
    DIR* dir_;
};

} // namespace tarn::platform::standin
