#include "Adapters/Files/FileDigest.hpp"

#include "Adapters/Media/SystemError.hpp"
#include "Core/Digest.hpp"
#include "Core/Jobs.hpp"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::FileDigest {

namespace {

struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }
};

int opened(const std::filesystem::path& file) {
    // open would stop at a NUL and read another file.
    if (file.native().find('\0') != std::string::npos) throw SystemError::posix(ENOENT, "open " + file.string());
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SystemError::posix(errno, "open " + file.string());
    return fd;
}

std::string hashed(int fd, const std::filesystem::path& file) {
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

// What changes when the bytes do: a write moves size or times, a
// replacement moves the inode.
struct Identity {
    dev_t device;
    ino_t inode;
    off_t size;
    long modifiedSeconds, modifiedNanoseconds, changedSeconds, changedNanoseconds;
    bool operator==(const Identity&) const = default;

    static Identity of(const struct stat& st) {
        return {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
                st.st_ctim.tv_nsec};
    }
};

} // namespace

std::string sha256(const std::filesystem::path& file) {
    Descriptor d{opened(file)};
    return hashed(d.fd, file);
}

std::optional<std::string> sha256IfSteady(const std::filesystem::path& file, int attempts,
                                          const std::function<void()>& afterPass) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        Descriptor d{opened(file)};
        struct stat before {}, after {}, atPath {};
        if (::fstat(d.fd, &before) != 0) throw SystemError::posix(errno, "stat " + file.string());
        std::string digest = hashed(d.fd, file);
        if (afterPass) afterPass();
        if (::fstat(d.fd, &after) != 0) throw SystemError::posix(errno, "stat " + file.string());
        bool samePath = ::stat(file.c_str(), &atPath) == 0 && Identity::of(atPath) == Identity::of(before);
        if (samePath && Identity::of(after) == Identity::of(before)) return digest;
    }
    return std::nullopt;
}

} // namespace korvel::FileDigest
