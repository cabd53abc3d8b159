#include "Adapters/Files/WholeFile.hpp"

#include "Adapters/Media/SystemError.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace korvel::WholeFile {

void write(int fd, std::span<const uint8_t> bytes, const std::filesystem::path& file) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw SystemError::posix(errno, "write " + file.string());
        }
        done += static_cast<size_t>(n);
    }
}

void write(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw SystemError::posix(errno, "create " + file.string());
    try {
        write(fd, bytes, file);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) throw SystemError::posix(errno, "close " + file.string());
}

} // namespace korvel::WholeFile
