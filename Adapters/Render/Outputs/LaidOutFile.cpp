#include "Adapters/Render/Outputs/LaidOutFile.hpp"

#include "Adapters/Media/FFmpeg.hpp"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace korvel {

namespace {

int writeOut(void* opaque, uint8_t* bytes, int size) {
    auto& o = *static_cast<LaidOutFile*>(opaque);
    if (o.moved) {
        o.movedFirst = std::min(o.movedFirst, o.at);
        o.movedEnd = std::max(o.movedEnd, o.at + size);
    }
    if (o.fd >= 0 && o.stand && bytes >= o.stand && bytes < o.stand + o.standSize) {
        try {
            if (o.copies.empty() || o.copies.front().entry.size != size || (!o.moved && o.at < o.moovAt)) {
                throw std::logic_error("a sample's bytes went astray");
            }
            LaidOutFile::Copy c = std::move(o.copies.front());
            o.copies.pop_front();
            o.copy(std::move(c), o.placed(o.at));
        } catch (...) {
            o.failure = std::current_exception();
            return AVERROR(EIO);
        }
        o.at += size;
        o.length = std::max(o.length, o.at);
        return size;
    }
    for (int done = 0; o.fd >= 0 && done < size;) {
        int64_t position = o.at + done;
        int64_t piece = size - done;
        if (!o.moved && position < o.moovAt) piece = std::min(piece, o.moovAt - position);
        ssize_t n = ::pwrite(o.fd, bytes + done, static_cast<size_t>(piece), o.placed(position));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? AVERROR(errno) : AVERROR(EIO);
        done += static_cast<int>(n);
    }
    o.at += size;
    o.length = std::max(o.length, o.at);
    return size;
}

int64_t seekOut(void* opaque, int64_t offset, int whence) {
    auto& o = *static_cast<LaidOutFile*>(opaque);
    if (whence & AVSEEK_SIZE) return o.length;
    whence &= ~AVSEEK_FORCE;
    int64_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? o.at + offset : whence == SEEK_END ? o.length + offset : -1;
    if (to < 0) return AVERROR(EINVAL);
    o.at = to;
    return to;
}

int readNothing(void*, uint8_t*, int) { return AVERROR_EOF; }
int64_t seekNothing(void*, int64_t offset, int whence) { return whence & AVSEEK_SIZE ? 0 : offset; }

// The fast-start pass opens the file again to read what it moves.
int openReadBack(AVFormatContext* format, AVIOContext** pb, const char*, int flags, AVDictionary**) {
    auto& o = *static_cast<LaidOutFile*>(format->opaque);
    if (!(flags & AVIO_FLAG_READ) || o.moved) return AVERROR(EINVAL);
    o.moved = true;
    o.dataEnd = o.length;
    constexpr int room = 4096;
    auto* buffer = static_cast<unsigned char*>(av_malloc(room));
    *pb = buffer ? avio_alloc_context(buffer, room, 0, nullptr, readNothing, nullptr, seekNothing) : nullptr;
    if (!*pb) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    return 0;
}

int closeReadBack(AVFormatContext*, AVIOContext* pb) {
    av_freep(&pb->buffer);
    avio_context_free(&pb);
    return 0;
}

AVIOContext* contextOf(LaidOutFile& o) {
    constexpr int room = 1 << 16;
    auto* buffer = static_cast<unsigned char*>(av_malloc(room));
    AVIOContext* pb = buffer ? avio_alloc_context(buffer, room, 1, &o, nullptr, writeOut, seekOut) : nullptr;
    if (!pb) {
        av_free(buffer);
        return nullptr;
    }
    pb->direct = 1;
    return pb;
}

void freeContext(AVIOContext*& pb) {
    if (!pb) return;
    av_freep(&pb->buffer);
    avio_context_free(&pb);
}

} // namespace

void LaidOutFile::flush() {
    if (run.size == 0) return;
    Run r = std::exchange(run, {});
    StoredSamples::copy({r.from, r.size}, *r.file, fd, r.to);
}
void LaidOutFile::copy(Copy c, int64_t to) {
    if (run.size > 0 && (run.file != c.file || run.from + run.size != c.entry.offset || run.to + run.size != to ||
                         run.size + c.entry.size > runBytes)) {
        flush();
    }
    if (run.size == 0) run = {std::move(c.file), c.entry.offset, to, 0};
    run.size += c.entry.size;
}

bool LaidOutFile::attach(AVFormatContext* format) {
    format->pb = contextOf(*this);
    if (!format->pb) return false;
    format->opaque = this;
    format->io_open = openReadBack;
    format->io_close2 = closeReadBack;
    return true;
}

void LaidOutFile::detach(AVFormatContext* format) { freeContext(format->pb); }

} // namespace korvel
