#include "Adapters/Media/SampleStore.hpp"

#include "Adapters/Files/ProcessTempFile.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/SystemError.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace korvel {

namespace {

// Worded here: the client never named these files, so no sentence about its
// paths fits them.
[[noreturn]] void fail(int error, const std::string& doing) {
    MediaFailure::log(MediaFailure::chain(std::make_exception_ptr(SystemError::posix(error, doing))), doing);
    if (error == ENOSPC || error == EDQUOT) {
        throw EngineFailure::diskFull("There isn't enough room on the disk for the video's scratch files.");
    }
    throw EngineFailure::writeFailed("The video's scratch files could not be written.");
}

} // namespace

SampleStore::SampleStore() {
    ProcessTempFile::Scoped name(ProcessTempFile::url("samples", "bin", ProcessTempFile::defaultFolder()));
    fd_ = ::open(name.path().c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) fail(errno, "create " + name.path().string());
}

SampleStore::~SampleStore() {
    if (fd_ >= 0) ::close(fd_);
}

int64_t SampleStore::append(const uint8_t* data, size_t size) {
    const int64_t at = end_;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd_, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(n < 0 ? errno : ENOSPC, "write a video's scratch file");
        done += static_cast<size_t>(n);
    }
    end_ += static_cast<int64_t>(size);
    return at;
}

std::shared_ptr<const MovieFile> SampleStore::finish(const std::filesystem::path& url) {
    const int fd = fd_;
    fd_ = -1;
    try {
        return std::make_shared<const MovieFile>(fd, url);
    } catch (const SystemError&) {
        fail(EIO, "read a video's scratch file");
    }
}

} // namespace korvel
