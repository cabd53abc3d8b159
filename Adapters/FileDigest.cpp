#include "Adapters/FileDigest.hpp"

#include "Adapters/SystemError.hpp"
#include "Core/Digest.hpp"
#include "Core/Jobs.hpp"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace korvel::FileDigest {

std::string sha256(const std::filesystem::path& file) {
    // open would stop at a NUL and read another file.
    if (file.native().find('\0') != std::string::npos) throw SystemError::posix(ENOENT, "open " + file.string());
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SystemError::posix(errno, "open " + file.string());
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    constexpr size_t chunk = 1 << 20;
    auto buffer = std::make_unique<unsigned char[]>(chunk);
    Digest::SHA256 state;
    for (;;) {
        ssize_t n = ::read(fd, buffer.get(), chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw SystemError::posix(errno, "read " + file.string());
        }
        if (n == 0) break;
        Task::checkCancellation();
        state.update(buffer.get(), static_cast<size_t>(n));
    }
    return state.finishHex();
}

} // namespace korvel::FileDigest
