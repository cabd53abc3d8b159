#include "Adapters/Files/CacheFile.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::CacheFile {

namespace {

// Looked at before it is opened, so no device is ever opened; O_NONBLOCK so
// an entry swapped for a FIFO in between does not hold the open either.
int openPlain(const std::filesystem::path& file, struct stat& st) {
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::optional<std::string> read(const std::filesystem::path& file, int64_t limit) {
    struct stat st {};
    const int fd = openPlain(file, st);
    if (fd < 0) return std::nullopt;
    if (st.st_size > limit) {
        ::close(fd);
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        // A file that grows past the limit while it is read is no record either.
        if (n < 0 || static_cast<int64_t>(bytes.size()) + n > limit) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return bytes;
}

std::optional<int64_t> regularSize(const std::filesystem::path& file) {
    struct stat st {};
    const int fd = openPlain(file, st);
    if (fd < 0) return std::nullopt;
    ::close(fd);
    return static_cast<int64_t>(st.st_size);
}

} // namespace korvel::CacheFile
