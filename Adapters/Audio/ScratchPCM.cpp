#include "Adapters/Audio/ScratchPCM.hpp"

#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Files/ProcessTempFile.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/Jobs.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>
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

// A scratch file no other process can see: unlinked as soon as it is open.
int openUnlinked(const fs::path& folder) {
    const fs::path path = ProcessTempFile::url("mix", "pcm", folder);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) fail(errno, "create " + path.string());
    ::unlink(path.c_str());
    return fd;
}

void readFully(int fd, off_t at, float* out, int64_t count) {
    auto* p = reinterpret_cast<char*>(out);
    size_t left = static_cast<size_t>(count) * sizeof(float);
    while (left > 0) {
        const ssize_t n = ::pread(fd, p, left, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(errno, "read the mix's scratch file");
        if (n == 0) fail(EIO, "read the mix's scratch file");
        p += n;
        at += n;
        left -= static_cast<size_t>(n);
    }
}

void writeFully(int fd, off_t at, const float* in, int64_t count) {
    const auto* p = reinterpret_cast<const char*>(in);
    size_t left = static_cast<size_t>(count) * sizeof(float);
    while (left > 0) {
        const ssize_t n = ::pwrite(fd, p, left, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(errno, "write the mix's scratch file");
        p += n;
        at += n;
        left -= static_cast<size_t>(n);
    }
}

// Channel after channel, each `frames` floats: reading one channel's block is one call.
class File : public PCMStore {
public:
    File(int channels, int64_t frames, const fs::path& folder)
        : channels_(channels), frames_(frames), fd_(openUnlinked(folder)) {
        // Unwritten stretches read as silence and take no room on disk.
        if (::ftruncate(fd_, static_cast<off_t>(channels) * frames * static_cast<off_t>(sizeof(float))) != 0) {
            const int e = errno;
            ::close(fd_);
            fail(e, "create the mix's scratch file");
        }
    }
    ~File() override { ::close(fd_); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    int64_t frameCount() const override { return frames_; }
    int channelCount() const override { return channels_; }

    void read(int c, int64_t from, int64_t count, float* out) const override {
        readFully(fd_, offset(c, from), out, count);
    }

    void write(int c, int64_t from, int64_t count, const float* in) override {
        writeFully(fd_, offset(c, from), in, count);
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

// Blocks of blockFrames frames one after another, each channel after
// channel, so the file grows at its end and a channel's stretch is a few
// reads. A block is gathered in memory before it is written.
class Spool::File : public PCMSource {
public:
    File(int channels, const fs::path& folder)
        : channels_(channels), block_(static_cast<size_t>(channels)), fd_(openUnlinked(folder)) {
        for (auto& c : block_) c.reserve(static_cast<size_t>(B));
    }
    ~File() override { ::close(fd_); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    int64_t frameCount() const override { return frames_; }
    int channelCount() const override { return channels_; }

    void read(int c, int64_t from, int64_t count, float* out) const override {
        while (count > 0) {
            const int64_t block = from / B, at = from % B;
            const int64_t n = std::min(count, B - at);
            readFully(fd_, offset(block, c, at), out, n);
            from += n;
            out += n;
            count -= n;
        }
    }

    void append(const std::vector<std::span<const float>>& piece) {
        size_t done = 0;
        const size_t total = piece.empty() ? 0 : piece[0].size();
        while (done < total) {
            const size_t n = std::min(total - done, static_cast<size_t>(B) - block_[0].size());
            for (size_t c = 0; c < block_.size(); ++c) {
                const auto& in = c < piece.size() ? piece[c] : piece[0];
                block_[c].insert(block_[c].end(), in.begin() + static_cast<std::ptrdiff_t>(done),
                                 in.begin() + static_cast<std::ptrdiff_t>(done + n));
            }
            done += n;
            if (block_[0].size() == static_cast<size_t>(B)) flush();
        }
    }

    // Writes what is gathered of the last block; no more is appended after.
    void flush() {
        const int64_t n = static_cast<int64_t>(block_[0].size());
        if (n == 0) return;
        const int64_t block = frames_ / B;
        for (size_t c = 0; c < block_.size(); ++c) {
            writeFully(fd_, offset(block, static_cast<int>(c), 0), block_[c].data(), n);
            block_[c].clear();
        }
        frames_ += n;
    }

private:
    static constexpr int64_t B = PCMSources::blockFrames;

    off_t offset(int64_t block, int c, int64_t at) const {
        return ((block * channels_ + c) * B + at) * static_cast<off_t>(sizeof(float));
    }

    int channels_;
    int64_t frames_ = 0;
    std::vector<std::vector<float>> block_;
    int fd_ = -1;
};

Spool::Spool(int channels, int64_t heldSamples)
    : channels_(channels), limit_(heldSamples), held_(std::vector<std::vector<float>>(static_cast<size_t>(channels))) {}

Spool::~Spool() = default;

int64_t Spool::heldSamples() const { return file_ ? 0 : held_.frameCount() * channels_; }

void Spool::append(const std::vector<std::span<const float>>& piece) {
    if (piece.empty()) return;
    const int64_t frames = static_cast<int64_t>(piece[0].size());
    if (!file_ && (held_.frameCount() + frames) * channels_ > limit_) spill();
    if (file_) {
        file_->append(piece);
        return;
    }
    for (size_t c = 0; c < held_.channels.size(); ++c) {
        const auto& in = c < piece.size() ? piece[c] : piece[0];
        held_.channels[c].insert(held_.channels[c].end(), in.begin(), in.end());
    }
}

void Spool::spill() {
    file_ = std::make_shared<File>(channels_, ProcessTempFile::defaultFolder());
    std::vector<std::span<const float>> all;
    for (const auto& c : held_.channels) all.emplace_back(c);
    file_->append(all);
    held_ = PCMAudio(std::vector<std::vector<float>>(static_cast<size_t>(channels_)));
}

PCMSources::Source Spool::finish() {
    if (file_) {
        file_->flush();
        return std::move(file_);
    }
    return PCMSources::holding(std::exchange(held_, PCMAudio(std::vector<std::vector<float>>(static_cast<size_t>(channels_)))));
}

std::shared_ptr<PCMStore> make(int channels, int64_t frames, const fs::path& folder) {
    return std::make_shared<File>(channels, frames, folder);
}

PCMStores inScratchFolder() {
    return [](int channels, int64_t frames) { return make(channels, frames, ProcessTempFile::defaultFolder()); };
}

} // namespace korvel::ScratchPCM
