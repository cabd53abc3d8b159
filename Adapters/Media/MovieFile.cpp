#include "Adapters/Media/MovieFile.hpp"

#include "Adapters/Media/SystemError.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
