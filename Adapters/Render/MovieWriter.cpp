#include "Adapters/Render/MovieWriter.hpp"

#include "Adapters/Render/FFmpeg.hpp"
#include "Adapters/Render/VideoEncoder.hpp"
#include "Adapters/SystemError.hpp"

extern "C" {
#include <libavutil/display.h>
}

#include <cstring>

namespace korvel {

struct MovieWriter::State {
    AVFormatContext* format = nullptr;
    AVStream* video = nullptr;
    AVRational inputBase{1, 1};
    Status status = Status::unknown;
    std::exception_ptr error;
    bool headerWritten = false;
    bool finished = false;

    std::unique_ptr<VideoEncoder> encoder;
    int64_t ticksPerFrame = 1;

    AVStream* audio = nullptr;
    AVRational audioBase{1, 1};

    ~State() {
        if (!format) return;
        if (format->pb) avio_closep(&format->pb);
        avformat_free_context(format);
    }
};

MovieWriter::MovieWriter(std::filesystem::path url) : url_(std::move(url)), state_(std::make_unique<State>()) {
    FFmpeg::prepare();
    int status = avformat_alloc_output_context2(&state_->format, nullptr, "mp4", url_.c_str());
    if (status < 0) fail(std::make_exception_ptr(SystemError::ffmpeg(status, "make a writer for " + url_.string())));
}

MovieWriter::~MovieWriter() = default;

void MovieWriter::fail(std::exception_ptr error) {
    state_->status = Status::failed;
    if (!state_->error) state_->error = std::move(error);
}

bool MovieWriter::add(const VideoInput& input) {
    std::lock_guard g(lock_);
    State& s = *state_;
    if (!s.format || s.status != Status::unknown || s.video || input.timescale <= 0) return false;
    AVCodecID codec = input.sampleEntry == "avc1" ? AV_CODEC_ID_H264 : input.sampleEntry == "hvc1" ? AV_CODEC_ID_HEVC
                                                                                                    : AV_CODEC_ID_NONE;
    if (codec == AV_CODEC_ID_NONE || input.config.empty()) return false;
    AVStream* st = avformat_new_stream(s.format, nullptr);
    if (!st) return false;
    AVCodecParameters* p = st->codecpar;
    p->codec_type = AVMEDIA_TYPE_VIDEO;
    p->codec_id = codec;
    p->codec_tag = codec == AV_CODEC_ID_HEVC ? MKTAG('h', 'v', 'c', '1') : MKTAG('a', 'v', 'c', '1');
    p->width = static_cast<int>(input.width);
    p->height = static_cast<int>(input.height);
    p->extradata = static_cast<uint8_t*>(av_mallocz(input.config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!p->extradata) return false;
    std::memcpy(p->extradata, input.config.data(), input.config.size());
    p->extradata_size = static_cast<int>(input.config.size());
    st->time_base = AVRational{1, input.timescale};
    uint8_t* matrix = av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9);
    if (!matrix) return false;
    std::memcpy(matrix, input.matrix.data(), sizeof(int32_t) * 9);
    s.video = st;
    s.inputBase = st->time_base;
    return true;
}

bool MovieWriter::add(const VideoEncoding& encoding) {
    std::lock_guard g(lock_);
    State& s = *state_;
    if (!s.format || s.status != Status::unknown || s.video) return false;
    try {
        s.encoder = std::make_unique<VideoEncoder>(encoding, true);
    } catch (...) {
        return false;
    }
    AVStream* st = avformat_new_stream(s.format, nullptr);
    if (!st) return false;
    s.encoder->describe(st->codecpar);
    if (encoding.codec == VideoEncoding::Codec::hevc) st->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    else st->codecpar->codec_tag = MKTAG('a', 'v', 'c', '1');
    st->time_base = AVRational{1, encoding.grid.timescale};
    st->avg_frame_rate = AVRational{static_cast<int>(encoding.grid.fps.num), static_cast<int>(encoding.grid.fps.den)};
    s.video = st;
    s.inputBase = st->time_base;
    s.ticksPerFrame = encoding.grid.ticksPerFrame;
    return true;
}

bool MovieWriter::addAudio(const AVCodecParameters* parameters, int timebaseNum, int timebaseDen) {
    std::lock_guard g(lock_);
    State& s = *state_;
    if (!s.format || s.status != Status::unknown || s.audio || !parameters || timebaseNum <= 0 || timebaseDen <= 0) {
        return false;
    }
    AVStream* st = avformat_new_stream(s.format, nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, parameters) < 0) return false;
    st->codecpar->codec_tag = 0;
    st->time_base = AVRational{timebaseNum, timebaseDen};
    s.audio = st;
    s.audioBase = st->time_base;
    return true;
}

bool MovieWriter::write(AVPacket* packet) {
    State& s = *state_;
    int status = av_interleaved_write_frame(s.format, packet);
    if (status < 0) {
        fail(std::make_exception_ptr(SystemError::ffmpeg(status, "write " + url_.string())));
        return false;
    }
    return true;
}

bool MovieWriter::appendPicture(const EncoderPicture& picture, int64_t index) {
    {
        std::lock_guard g(lock_);
        if (state_->status != Status::writing || !state_->encoder || state_->finished) return false;
    }
    std::vector<VideoEncoder::Packet> out;
    try {
        std::lock_guard e(encoding_);
        state_->encoder->encode(picture, index, [&](VideoEncoder::Packet&& p) { out.push_back(std::move(p)); });
    } catch (...) {
        std::lock_guard g(lock_);
        fail(std::current_exception());
        return false;
    }
    std::lock_guard g(lock_);
    State& s = *state_;
    for (auto& p : out) {
        auto packet = FFmpeg::packet();
        if (av_new_packet(packet.get(), static_cast<int>(p.bytes.size())) < 0) {
            fail(std::make_exception_ptr(std::bad_alloc()));
            return false;
        }
        std::memcpy(packet->data, p.bytes.data(), p.bytes.size());
        packet->stream_index = s.video->index;
        packet->pts = p.pts * s.ticksPerFrame;
        packet->dts = p.dts * s.ticksPerFrame;
        packet->duration = s.ticksPerFrame;
        if (p.isSync) packet->flags |= AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(packet.get(), s.inputBase, s.video->time_base);
        if (!write(packet.get())) return false;
    }
    return true;
}

bool MovieWriter::appendAudio(const AVPacket& packet) {
    std::lock_guard g(lock_);
    State& s = *state_;
    if (s.status != Status::writing || !s.audio) return false;
    auto p = FFmpeg::packet();
    if (!p || av_packet_ref(p.get(), &packet) < 0) {
        fail(std::make_exception_ptr(std::bad_alloc()));
        return false;
    }
    p->stream_index = s.audio->index;
    p->pos = -1;
    av_packet_rescale_ts(p.get(), s.audioBase, s.audio->time_base);
    return write(p.get());
}

bool MovieWriter::startWriting() {
    std::lock_guard g(lock_);
    State& s = *state_;
    if (!s.format || s.status != Status::unknown) return false;
    int status = avio_open(&s.format->pb, url_.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) {
        fail(std::make_exception_ptr(SystemError::ffmpeg(status, "create " + url_.string())));
        return false;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    if (movieTimescale > 0) av_dict_set_int(&options, "movie_timescale", movieTimescale, 0);
    if (s.video) av_dict_set_int(&options, "video_track_timescale", s.inputBase.den, 0);
    status = avformat_write_header(s.format, &options);
    av_dict_free(&options);
    if (status < 0) {
        fail(std::make_exception_ptr(SystemError::ffmpeg(status, "start writing " + url_.string())));
        return false;
    }
    s.headerWritten = true;
    s.status = Status::writing;
    return true;
}

bool MovieWriter::append(const Sample& sample, std::span<const uint8_t> bytes) {
    std::lock_guard g(lock_);
    State& s = *state_;
    if (s.status != Status::writing || !s.video || s.finished) return false;
    auto packet = FFmpeg::packet();
    if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
        fail(std::make_exception_ptr(std::bad_alloc()));
        return false;
    }
    if (!bytes.empty()) std::memcpy(packet->data, bytes.data(), bytes.size());
    packet->stream_index = s.video->index;
    packet->dts = sample.decodeTicks;
    packet->pts = sample.presentationTicks;
    packet->duration = sample.durationTicks;
    if (sample.isSync) packet->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(packet.get(), s.inputBase, s.video->time_base);
    int status = av_interleaved_write_frame(s.format, packet.get());
    if (status < 0) {
        fail(std::make_exception_ptr(SystemError::ffmpeg(status, "write " + url_.string())));
        return false;
    }
    return true;
}

bool MovieWriter::isReadyForMoreMediaData() const {
    std::lock_guard g(lock_);
    return state_->status == Status::writing && !state_->finished;
}

void MovieWriter::markAsFinished() {
    std::lock_guard g(lock_);
    state_->finished = true;
}

bool MovieWriter::finishWriting() {
    std::vector<VideoEncoder::Packet> tail;
    if (state_->encoder) {
        try {
            std::lock_guard e(encoding_);
            state_->encoder->finish([&](VideoEncoder::Packet&& p) { tail.push_back(std::move(p)); });
        } catch (...) {
            std::lock_guard g(lock_);
            fail(std::current_exception());
            return false;
        }
    }
    std::lock_guard g(lock_);
    State& s = *state_;
    if (s.status != Status::writing) return false;
    for (auto& p : tail) {
        auto packet = FFmpeg::packet();
        if (av_new_packet(packet.get(), static_cast<int>(p.bytes.size())) < 0) {
            fail(std::make_exception_ptr(std::bad_alloc()));
            return false;
        }
        std::memcpy(packet->data, p.bytes.data(), p.bytes.size());
        packet->stream_index = s.video->index;
        packet->pts = p.pts * s.ticksPerFrame;
        packet->dts = p.dts * s.ticksPerFrame;
        packet->duration = s.ticksPerFrame;
        if (p.isSync) packet->flags |= AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(packet.get(), s.inputBase, s.video->time_base);
        if (!write(packet.get())) return false;
    }
    int status = av_write_trailer(s.format);
    if (status >= 0) status = avio_closep(&s.format->pb);
    if (status < 0) {
        fail(std::make_exception_ptr(SystemError::ffmpeg(status, "finish " + url_.string())));
        return false;
    }
    s.status = Status::completed;
    return true;
}

void MovieWriter::cancelWriting() {
    std::lock_guard g(lock_);
    State& s = *state_;
    if (s.status == Status::completed) return;
    if (s.format && s.format->pb) avio_closep(&s.format->pb);
    s.status = Status::cancelled;
}

MovieWriter::Status MovieWriter::status() const {
    std::lock_guard g(lock_);
    return state_->status;
}

std::exception_ptr MovieWriter::error() const {
    std::lock_guard g(lock_);
    return state_->error;
}

} // namespace korvel
