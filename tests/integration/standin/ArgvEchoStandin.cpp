// A child for the stand-in's process tests. Without "--do" it prints its arguments as
// "argc N" and then one "LENGTH:BYTES" line each, which no argument can make ambiguous. With
// "--do" it runs the actions that follow, in order.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <signal.h>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>

namespace {

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t count = ::write(fd, text.data(), text.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(count));
    }
}

// The numbers of this process's open descriptors, without the one that lists them.
std::string openDescriptors() {
    std::string out;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return "unknown";
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == ::dirfd(dir)) {
            continue;
        }
        out += out.empty() ? "" : " ";
        out += entry->d_name;
    }
    ::closedir(dir);
    return out;
}

// A write to a pipe without a reader: with SIGPIPE ignored it fails with EPIPE, otherwise the
// signal ends this process before it can say anything.
std::string brokenPipeWrite() {
    int fds[2];
    if (::pipe(fds) != 0) {
        return "no pipe";
    }
    ::close(fds[0]);
    const ssize_t count = ::write(fds[1], "x", 1);
    const int error = errno;
    ::close(fds[1]);
    return count < 0 && error == EPIPE ? "EPIPE" : "wrote";
}

int runActions(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        const std::string_view action = argv[i];
        const auto eq = action.find('=');
        const std::string_view name = action.substr(0, eq);
        const std::string value(eq == std::string_view::npos ? "" : action.substr(eq + 1));
        if (name == "out") {
            writeAll(STDOUT_FILENO, value);
        } else if (name == "err") {
            writeAll(STDERR_FILENO, value);
        } else if (name == "bytes") {
            writeAll(STDOUT_FILENO, std::string(std::strtoul(value.c_str(), nullptr, 10), 'x'));
        } else if (name == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value.c_str())));
        } else if (name == "await") {
            // Until the test creates the file: a child that runs exactly as long as it must.
            while (::access(value.c_str(), F_OK) != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        } else if (name == "exit") {
            return std::atoi(value.c_str());
        } else if (name == "fds") {
            writeAll(STDOUT_FILENO, openDescriptors() + "\n");
        } else if (name == "sigpipe") {
            writeAll(STDOUT_FILENO, brokenPipeWrite() + "\n");
        } else if (name == "stdin") {
            char byte;
            const ssize_t count = ::read(STDIN_FILENO, &byte, 1);
            writeAll(STDOUT_FILENO, count == 0 ? "stdin empty\n" : "stdin has data\n");
        } else {
            writeAll(STDERR_FILENO, "unknown action " + std::string(action) + "\n");
            return 2;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--do") {
        return runActions(argc, argv);
    }
    std::string out = "argc " + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i) {
        out += std::to_string(std::strlen(argv[i])) + ":" + argv[i] + "\n";
    }
    writeAll(STDOUT_FILENO, out);
    return 0;
}
