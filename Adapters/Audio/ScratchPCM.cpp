#include "Adapters/Audio/ScratchPCM.hpp"

#include "Adapters/Render/ProcessTempFile.hpp"
#include "Adapters/MediaFailure.hpp"
#include "Adapters/SystemError.hpp"
#include "Core/Jobs.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace korvel::ScratchPCM {

namespace {

// Worded here: the client never named these files, so no sentence about its
// paths fits them.
[[noreturn]] void fail(int error, std::string_view doing) {
    MediaFailure::log(MediaFailure::chain(std::make_exception_ptr(SystemError::posix(error, doing))), doing);
    if (error == ENOSPC || error == EDQUOT)
        throw EngineFailure::diskFull("There isn't enough room on the disk for the mix's scratch files.");
    if (doing.starts_with("read")) throw EngineFailure::internalError("The mix's scratch files could not be read.");
    throw EngineFailure::writeFailed("The mix's scratch files could not be written.");
}

// Channel after channel, each `frames` floats: reading one channel's block is one call.
class File : public PCMStore {
public:
    File(int channels, int64_t frames, const fs::path& folder) : channels_(channels), frames_(frames) {
        const fs::path path = ProcessTempFile::url("mix", "pcm", folder);
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0) fail(errno, "create " + path.string());
        ::unlink(path.c_str());
        // Unwritten stretches read as silence and take no room on disk.
        if (::ftruncate(fd_, static_cast<off_t>(channels) * frames * static_cast<off_t>(sizeof(float))) != 0) {
            const int e = errno;
            ::close(fd_);
            fail(e, "create " + path.string());
        }
    }
    ~File() override { ::close(fd_); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    int64_t frameCount() const override { return frames_; }
    int channelCount() const override { return channels_; }

    void read(int c, int64_t from, int64_t count, float* out) const override {
        auto* p = reinterpret_cast<char*>(out);
        size_t left = static_cast<size_t>(count) * sizeof(float);
        off_t at = offset(c, from);
        while (left > 0) {
            const ssize_t n = ::pread(fd_, p, left, at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail(errno, "read the mix's scratch file");
            if (n == 0) fail(EIO, "read the mix's scratch file");
            p += n;
            at += n;
            left -= static_cast<size_t>(n);
        }
    }

    void write(int c, int64_t from, int64_t count, const float* in) override {
        const auto* p = reinterpret_cast<const char*>(in);
        size_t left = static_cast<size_t>(count) * sizeof(float);
        off_t at = offset(c, from);
        while (left > 0) {
            const ssize_t n = ::pwrite(fd_, p, left, at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail(errno, "write the mix's scratch file");
            p += n;
            at += n;
            left -= static_cast<size_t>(n);
        }
    }

private:
    off_t offset(int c, int64_t frame) const {
        return (static_cast<off_t>(c) * frames_ + frame) * static_cast<off_t>(sizeof(float));
    }

    int channels_;
    int64_t frames_;
    int fd_ = -1;
};

} // namespace

std::shared_ptr<PCMStore> make(int channels, int64_t frames, const fs::path& folder) {
    return std::make_shared<File>(channels, frames, folder);
}

PCMStores inScratchFolder() {
    return [](int channels, int64_t frames) { return make(channels, frames, ProcessTempFile::defaultFolder()); };
}

} // namespace korvel::ScratchPCM
