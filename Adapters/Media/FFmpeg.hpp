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

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

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

// Opens a local file for demuxing through the named demuxers only, so that
// no file picks a reader of its own; `rawEdits` leaves a movie's edit lists
// to the engine. Answers libavformat's status; `into` holds the file only
// when it opened.
inline int openInput(const std::filesystem::path& url, const char* formats, Format& into, bool rawEdits = false) {
    prepare();
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", formats, 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    if (rawEdits) av_dict_set(&options, "ignore_editlist", "1", 0);
    AVFormatContext* raw = nullptr;
    const std::string location = "file:" + url.string();
    const int status = avformat_open_input(&raw, location.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (status >= 0) into.reset(raw);
    return status;
}

inline Frame frame() { return Frame(av_frame_alloc()); }
inline Packet packet() { return Packet(av_packet_alloc()); }

} // namespace korvel::FFmpeg
