#pragma once

// Owning handles of FFmpeg objects. Included by .cpp files of the adapters
// only, so FFmpeg's headers stay out of every other header.

#include "Adapters/Server/Stderr.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <mutex>

namespace korvel::FFmpeg {

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ParametersFreer {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
struct ScaleFreer {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct BufferUnref {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};

using Format = std::unique_ptr<AVFormatContext, FormatCloser>;
using Codec = std::unique_ptr<AVCodecContext, CodecFreer>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Parameters = std::unique_ptr<AVCodecParameters, ParametersFreer>;
using Scale = std::unique_ptr<SwsContext, ScaleFreer>;
using Buffer = std::unique_ptr<AVBufferRef, BufferUnref>;

// FFmpeg's own log goes through the engine's one log handler: standard
// error carries only the engine's own diagnostic lines.
inline void prepare() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        Stderr::routeLibraryLogs();
    });
}

inline Frame frame() { return Frame(av_frame_alloc()); }
inline Packet packet() { return Packet(av_packet_alloc()); }

} // namespace korvel::FFmpeg
