#include "Adapters/Vision/MaskWriter.hpp"

#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/SystemError.hpp"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace korvel {

struct MaskWriter::State {
    AVFormatContext* format = nullptr;
    FFmpeg::Codec codec;
    FFmpeg::Frame frame;
    FFmpeg::Packet packet;
    const AVCodec* encoder = nullptr;
    double fps = 30;
    std::vector<FFmpeg::Frame> held;
    AVStream* stream = nullptr;
    bool headerWritten = false;
    bool finished = false;

    ~State() {
        if (format) {
            if (format->pb) avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }
};

void MaskWriter::failed(int status, const char* doing) {
    auto error = std::make_exception_ptr(SystemError::ffmpeg(status, doing));
    throw MediaFailure::writing(error, MediaFailure::Phrase{"The mask"}, url_);
}

bool MaskWriter::canWrite(int64_t width, int64_t height) {
    const int64_t shorter = std::min(width, height), longer = std::max(width, height);
    return shorter >= minSide && longer <= maxSide && width % 2 == 0 && height % 2 == 0 &&
           (shorter >= narrowSide || longer <= maxNarrowLength);
}

void MaskWriter::requireWritable(int64_t width, int64_t height) {
    if (!canWrite(width, height)) {
        throw EngineFailure::invalidParams("A mask of " + std::to_string(width) + "x" + std::to_string(height) +
                                           " can't be written.");
    }
}

MaskWriter::MaskWriter(const std::filesystem::path& url, int64_t width, int64_t height, double framesPerSecond)
    : url_(url), width_(width), height_(height), state_(std::make_unique<State>()) {
    FFmpeg::prepare();
    requireWritable(width, height);
    std::error_code ignored;
    std::filesystem::remove(url, ignored);
    int status = avformat_alloc_output_context2(&state_->format, nullptr, "mov", url.c_str());
    if (status < 0 || !state_->format) failed(status < 0 ? status : AVERROR(ENOMEM), "create the mask movie");
    state_->encoder = avcodec_find_encoder_by_name("libx265");
    if (!state_->encoder) failed(AVERROR_ENCODER_NOT_FOUND, "find the HEVC encoder");
    state_->fps = std::isfinite(framesPerSecond) && framesPerSecond >= 1 && framesPerSecond <= 1000 ? framesPerSecond : 30;
    if ((status = avio_open(&state_->format->pb, url.c_str(), AVIO_FLAG_WRITE)) < 0) failed(status, "open the mask file");
    state_->packet = FFmpeg::packet();
}

void MaskWriter::open(bool reordering) {
    state_->codec.reset(avcodec_alloc_context3(state_->encoder));
    AVCodecContext* c = state_->codec.get();
    if (!c) failed(AVERROR(ENOMEM), "open the HEVC encoder");
    c->width = static_cast<int>(width_);
    c->height = static_cast<int>(height_);
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->color_range = AVCOL_RANGE_JPEG;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    c->time_base = AVRational{1, 1'000'000};
    c->framerate = av_d2q(state_->fps, 100000);
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    av_opt_set(c->priv_data, "crf", "20", 0);
    std::string params = "log-level=none:range=full:colorprim=bt709:transfer=bt709:colormatrix=bt709";
    if (!reordering) params += ":bframes=0";
    av_opt_set(c->priv_data, "x265-params", params.c_str(), 0);
    int status = avcodec_open2(c, state_->encoder, nullptr);
    if (status < 0) failed(status, "open the HEVC encoder");
    state_->stream = avformat_new_stream(state_->format, nullptr);
    if (!state_->stream) failed(AVERROR(ENOMEM), "add the mask track");
    avcodec_parameters_from_context(state_->stream->codecpar, c);
    state_->stream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    state_->stream->time_base = c->time_base;
    if ((status = avformat_write_header(state_->format, nullptr)) < 0) failed(status, "start the mask movie");
    state_->headerWritten = true;
    for (auto& held : state_->held) send(held.get());
    state_->held.clear();
}

AVFrame* MaskWriter::newFrame(bool held) {
    FFmpeg::Frame frame = FFmpeg::frame();
    AVFrame* f = frame.get();
    if (!f) failed(AVERROR(ENOMEM), "allocate a mask frame");
    f->format = AV_PIX_FMT_YUV420P;
    f->width = static_cast<int>(width_);
    f->height = static_cast<int>(height_);
    f->color_range = AVCOL_RANGE_JPEG;
    f->colorspace = AVCOL_SPC_BT709;
    if (int status = av_frame_get_buffer(f, 0); status < 0) failed(status, "allocate a mask frame");
    if (held) state_->held.push_back(std::move(frame));
    else state_->frame = std::move(frame);
    return f;
}

void MaskWriter::send(AVFrame* frame) {
    if (int status = avcodec_send_frame(state_->codec.get(), frame); status < 0) failed(status, "encode the mask");
    drain(false);
}

MaskWriter::~MaskWriter() = default;

void MaskWriter::drain(bool flushing) {
    for (;;) {
        int status = avcodec_receive_packet(state_->codec.get(), state_->packet.get());
        if (status == AVERROR(EAGAIN) || (flushing && status == AVERROR_EOF)) return;
        if (status < 0) failed(status, "encode the mask");
        av_packet_rescale_ts(state_->packet.get(), state_->codec->time_base, state_->stream->time_base);
        state_->packet->stream_index = state_->stream->index;
        status = av_interleaved_write_frame(state_->format, state_->packet.get());
        if (status < 0) failed(status, "write the mask");
    }
}

void MaskWriter::append(const MaskFrame& mask, int64_t atUs) {
    if (mask.width != width_ || mask.height != height_ ||
        mask.bytes.size() < static_cast<size_t>(mask.width * mask.height)) {
        throw EngineFailure::internalError("A mask frame came at " + std::to_string(mask.width) + "x" +
                                           std::to_string(mask.height) + " for a mask file at " + std::to_string(width_) +
                                           "x" + std::to_string(height_) + ".");
    }
    // Until the encoder is open, frames are held in frames of their own.
    const bool held = !state_->codec;
    AVFrame* f = held ? newFrame(true) : state_->frame ? state_->frame.get() : newFrame(false);
    int status = av_frame_make_writable(f);
    if (status < 0) failed(status, "allocate a mask frame");
    for (int64_t y = 0; y < height_; ++y) std::memcpy(f->data[0] + y * f->linesize[0], &mask.bytes[size_t(y * width_)], size_t(width_));
    for (int p = 1; p < 3; ++p)
        for (int64_t y = 0; y < height_ / 2; ++y) std::memset(f->data[p] + y * f->linesize[p], 128, size_t(width_ / 2));
    f->pts = atUs;
    if (!held) send(f);
    else if (state_->held.size() == reorderDepth) open(true);
}

void MaskWriter::finish() {
    if (state_->finished) return;
    if (!state_->codec) open(false);
    int status = avcodec_send_frame(state_->codec.get(), nullptr);
    if (status < 0 && status != AVERROR_EOF) failed(status, "encode the mask");
    drain(true);
    if ((status = av_write_trailer(state_->format)) < 0) failed(status, "finish the mask movie");
    if ((status = avio_closep(&state_->format->pb)) < 0) failed(status, "close the mask file");
    state_->finished = true;
}

void MaskWriter::cancel() noexcept {
    if (state_->format && state_->format->pb) avio_closep(&state_->format->pb);
    state_->finished = true;
}

} // namespace korvel
