#include "Adapters/Media/MovieFile.hpp"

#include "Adapters/Media/SystemError.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvel {

MovieFile::MovieFile(const std::filesystem::path& url) : url_(url) {
    fd_ = ::open(url.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw SystemError::posix(errno, "open " + url.string());
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        int e = errno;
        ::close(fd_);
        throw SystemError::posix(e, "examine " + url.string());
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd_);
        throw SystemError::posix(EISDIR, "open " + url.string());
    }
    size_ = static_cast<int64_t>(st.st_size);
}

MovieFile::MovieFile(int fd, const std::filesystem::path& url) : url_(url), fd_(fd) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        int e = errno;
        ::close(fd_);
        fd_ = -1;
        throw SystemError::posix(e ? e : EINVAL, "examine " + url.string());
    }
    size_ = static_cast<int64_t>(st.st_size);
}

MovieFile::~MovieFile() {
    if (fd_ >= 0) ::close(fd_);
}

MovieFile::Read MovieFile::read(int64_t offset, size_t count, uint8_t* into, int* error) const {
    if (offset < 0) return Read::short_;
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(fd_, into + done, count - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (error) *error = errno;
            return Read::failed;
        }
        if (n == 0) return Read::short_;
        done += static_cast<size_t>(n);
    }
    return Read::whole;
}

MovieFile::Read MovieFile::copy(int64_t offset, size_t count, int fd, int64_t at, int* error) const {
    if (offset < 0 || at < 0) return Read::short_;
    auto from = static_cast<off_t>(offset), to = static_cast<off_t>(at);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::copy_file_range(fd_, &from, fd, &to, count - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) break;
        if (n < 0) {
            if (error) *error = errno;
            return Read::failed;
        }
        if (n == 0) return Read::short_;
        done += static_cast<size_t>(n);
    }
    // Where the kernel can't copy between these two, through a buffer.
    std::vector<uint8_t> piece(std::min<size_t>(count - done, 1 << 20));
    while (done < count) {
        size_t n = std::min(piece.size(), count - done);
        Read r = read(static_cast<int64_t>(from), n, piece.data(), error);
        if (r != Read::whole) return r;
        for (size_t put = 0; put < n;) {
            ssize_t w = ::pwrite(fd, piece.data() + put, n - put, to + static_cast<off_t>(put));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                if (error) *error = w < 0 ? errno : EIO;
                return Read::failed;
            }
            put += static_cast<size_t>(w);
        }
        from += static_cast<off_t>(n);
        to += static_cast<off_t>(n);
        done += n;
    }
    return Read::whole;
}

MovieFileLayout::Reader MovieFile::reader() const {
    return [this](int64_t offset, size_t count, uint8_t* into) { return read(offset, count, into) == Read::whole; };
}

bool MovieFile::isMovieFile() const { return MovieFileLayout::walk(reader(), size_).has_value(); }

bool MovieFile::hasTopLevelBox(std::string_view type) const {
    auto boxes = MovieFileLayout::walk(reader(), size_);
    if (!boxes) return false;
    for (const auto& box : *boxes)
        if (box.type == type) return true;
    return false;
}

std::optional<MovieBox> MovieFile::movieBox() const {
    auto payload = MovieFileLayout::moviePayload(reader(), size_);
    if (!payload) return std::nullopt;
    return MovieBox::parse(std::move(*payload));
}

} // namespace korvel
