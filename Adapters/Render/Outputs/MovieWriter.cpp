#include "Adapters/Render/Outputs/MovieWriter.hpp"

#include "Adapters/Render/Outputs/LaidOutFile.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/SystemError.hpp"

extern "C" {
#include <libavutil/display.h>
}

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace korvel {

namespace {

AVCodecID codecOf(const MovieWriter::VideoInput& input) {
    return input.sampleEntry == "avc1" ? AV_CODEC_ID_H264 : input.sampleEntry == "hvc1" ? AV_CODEC_ID_HEVC : AV_CODEC_ID_NONE;
}

// The pass-through track; null when it can't be made.
AVStream* copiedStream(AVFormatContext* format, const MovieWriter::VideoInput& input) {
    AVCodecID codec = codecOf(input);
    AVStream* st = avformat_new_stream(format, nullptr);
    if (!st) return nullptr;
    AVCodecParameters* p = st->codecpar;
    p->codec_type = AVMEDIA_TYPE_VIDEO;
    p->codec_id = codec;
    p->codec_tag = codec == AV_CODEC_ID_HEVC ? MKTAG('h', 'v', 'c', '1') : MKTAG('a', 'v', 'c', '1');
    p->width = static_cast<int>(input.width);
    p->height = static_cast<int>(input.height);
    p->extradata = static_cast<uint8_t*>(av_mallocz(input.config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!p->extradata) return nullptr;
    std::memcpy(p->extradata, input.config.data(), input.config.size());
    p->extradata_size = static_cast<int>(input.config.size());
    st->time_base = AVRational{1, input.timescale};
    uint8_t* matrix = av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9);
    if (!matrix) return nullptr;
    std::memcpy(matrix, input.matrix.data(), sizeof(int32_t) * 9);
    return st;
}

void stamp(AVPacket* packet, const MovieWriter::Sample& sample, const AVStream* stream, AVRational inputBase) {
    packet->stream_index = stream->index;
    packet->dts = sample.decodeTicks;
    packet->pts = sample.presentationTicks;
    packet->duration = sample.durationTicks;
    if (sample.isSync) packet->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(packet, inputBase, stream->time_base);
}

// Where the movie box of the file these samples make goes, and its length,
// from the muxer itself on samples of the right sizes and no bytes; nothing
// when the trial fails.
std::optional<LaidOutFile> measured(const std::filesystem::path& url, const MovieWriter::VideoInput& input,
                                const AVDictionary* options, const std::vector<MovieWriter::Planned>& samples) {
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "mp4", url.c_str()) < 0) return std::nullopt;
    FFmpeg::Format format(raw);
    LaidOutFile trial;
    AVStream* st = copiedStream(raw, input);
    if (!st || !trial.attach(raw)) return std::nullopt;
    struct Closer {
        AVFormatContext* f;
        ~Closer() { LaidOutFile::detach(f); }
    } closer{raw};
    const AVRational inputBase{1, input.timescale};
    AVDictionary* copied = nullptr;
    av_dict_copy(&copied, options, 0);
    int status = avformat_write_header(raw, &copied);
    av_dict_free(&copied);
    if (status < 0) return std::nullopt;
    int64_t largest = 0;
    for (const auto& p : samples) largest = std::max(largest, p.size);
    if (largest > INT_MAX) return std::nullopt;
    FFmpeg::Buffer nothing(av_buffer_allocz(static_cast<size_t>(largest) + AV_INPUT_BUFFER_PADDING_SIZE));
    auto packet = FFmpeg::packet();
    if (!nothing || !packet) return std::nullopt;
    for (const auto& p : samples) {
        av_packet_unref(packet.get());
        if (p.size < 0 || !(packet->buf = av_buffer_ref(nothing.get()))) return std::nullopt;
        packet->data = packet->buf->data;
        packet->size = static_cast<int>(p.size);
        stamp(packet.get(), p.sample, st, inputBase);
        if (av_interleaved_write_frame(raw, packet.get()) < 0) return std::nullopt;
    }
    if (av_write_trailer(raw) < 0 || !trial.moved || trial.movedEnd <= trial.movedFirst) return std::nullopt;
    LaidOutFile layout;
    layout.moovAt = trial.movedFirst;
    layout.moovSize = trial.movedEnd - trial.movedFirst;
    layout.dataEnd = trial.dataEnd;
    return layout;
}

} // namespace

struct MovieWriter::State {
    AVFormatContext* format = nullptr;
    AVStream* video = nullptr;
    AVRational inputBase{1, 1};
    Status status = Status::unknown;
    std::exception_ptr failure; // worded for the user

    bool encoded = false; // the video track takes the encoder's packets
    int64_t ticksPerFrame = 1;

    AVStream* audio = nullptr;
    AVRational audioBase{1, 1};

    std::optional<VideoInput> copied;
    std::vector<Planned> planned;
    // The file's own output when it is laid out in advance, and the layout
    // the trial found.
    std::unique_ptr<LaidOutFile> laidOut;
    LaidOutFile expected;
    FFmpeg::Buffer stand; // what laid-out packets point at

    // Closes the output; an error number, or 0.
    int close() {
        if (!format || !format->pb) return 0;
        if (!laidOut) return avio_closep(&format->pb);
        LaidOutFile::detach(format);
        int status = ::close(laidOut->fd) == 0 ? 0 : AVERROR(errno);
        laidOut->fd = -1;
        return status;
    }

    ~State() {
        if (!format) return;
        close();
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
    State& s = *state_;
    if (s.status != Status::failed) {
        s.status = Status::failed;
        s.failure = std::make_exception_ptr(MediaFailure::writing(error, nameOf(url_), url_));
    }
    std::rethrow_exception(s.failure);
}

void MovieWriter::checkWriting() {
    switch (state_->status) {
    case Status::writing: return;
    case Status::failed: std::rethrow_exception(state_->failure);
    case Status::cancelled: throw Cancelled();
    default: fail(nullptr); // not started, or finished already
    }
}

void MovieWriter::add(const VideoInput& input) {
    std::lock_guard g(lock_);
    State& s = *state_;
    const auto refused = [] { return EngineFailure::writeFailed("The file can't carry this video as it is."); };
    if (s.status != Status::unknown || s.video || input.timescale <= 0) throw refused();
    if (codecOf(input) == AV_CODEC_ID_NONE || input.config.empty()) throw refused();
    AVStream* st = copiedStream(s.format, input);
    if (!st) throw refused();
    s.video = st;
    s.inputBase = st->time_base;
    s.copied = input;
}

void MovieWriter::plan(std::vector<Planned> samples) {
    std::lock_guard g(lock_);
    if (state_->status == Status::unknown) state_->planned = std::move(samples);
}

void MovieWriter::add(const VideoEncoder& encoder) {
    std::lock_guard g(lock_);
    State& s = *state_;
    const auto refused = [] { return EngineFailure::writeFailed("The encoder refused its settings."); };
    if (s.status != Status::unknown || s.video) throw refused();
    const VideoEncoding& encoding = encoder.encoding();
    AVStream* st = avformat_new_stream(s.format, nullptr);
    if (!st) throw refused();
    encoder.describe(st->codecpar);
    if (encoding.codec == VideoEncoding::Codec::hevc) st->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    else st->codecpar->codec_tag = MKTAG('a', 'v', 'c', '1');
    st->time_base = AVRational{1, encoding.grid.timescale};
    st->avg_frame_rate = AVRational{static_cast<int>(encoding.grid.fps.num), static_cast<int>(encoding.grid.fps.den)};
    s.video = st;
    s.inputBase = st->time_base;
    s.encoded = true;
    s.ticksPerFrame = encoding.grid.ticksPerFrame;
}

void MovieWriter::addAudio(const AVCodecParameters* parameters, int timebaseNum, int timebaseDen) {
    std::lock_guard g(lock_);
    State& s = *state_;
    const auto refused = [] { return EngineFailure::writeFailed("The encoder refused the sound's settings."); };
    if (s.status != Status::unknown || s.audio || !parameters || timebaseNum <= 0 || timebaseDen <= 0) throw refused();
    AVStream* st = avformat_new_stream(s.format, nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, parameters) < 0) throw refused();
    st->codecpar->codec_tag = 0;
    st->time_base = AVRational{timebaseNum, timebaseDen};
    s.audio = st;
    s.audioBase = st->time_base;
}

void MovieWriter::write(AVPacket* packet) {
    State& s = *state_;
    int status = av_interleaved_write_frame(s.format, packet);
    if (status >= 0) return;
    if (std::exception_ptr copy = s.laidOut ? std::exchange(s.laidOut->failure, nullptr) : nullptr) failCopy(copy);
    fail(std::make_exception_ptr(SystemError::ffmpeg(status, "write " + url_.string())));
}

void MovieWriter::failCopy(std::exception_ptr error) {
    State& s = *state_;
    try {
        std::rethrow_exception(error);
    } catch (const EngineFailure&) {
        // The source's own sentence: its bytes could not be read.
        s.status = Status::failed;
        s.failure = error;
        throw;
    } catch (...) {
        fail(error);
    }
}

void MovieWriter::startWriting() {
    std::lock_guard g(lock_);
    State& s = *state_;
    if (s.status != Status::unknown) {
        checkWriting(); // a failed or cancelled writer says so
        fail(nullptr);  // started already
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    if (movieTimescale > 0) av_dict_set_int(&options, "movie_timescale", movieTimescale, 0);
    if (s.video) av_dict_set_int(&options, "video_track_timescale", s.inputBase.den, 0);
    std::optional<LaidOutFile> layout;
    int64_t largest = 0;
    if (s.copied && !s.audio && !s.planned.empty()) {
        layout = measured(url_, *s.copied, options, s.planned);
        for (const auto& p : s.planned) largest = std::max(largest, p.size);
        s.stand.reset(av_buffer_allocz(static_cast<size_t>(largest) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!s.stand) layout.reset();
    }
    s.planned = {};
    int status = 0;
    if (layout) {
        s.expected = *layout;
        s.laidOut = std::make_unique<LaidOutFile>(*layout);
        s.laidOut->stand = s.stand->data;
        s.laidOut->standSize = largest;
        s.laidOut->fd = ::open(url_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (s.laidOut->fd < 0) {
            av_dict_free(&options);
            fail(std::make_exception_ptr(SystemError::posix(errno, "create " + url_.string())));
        }
        if (!s.laidOut->attach(s.format)) status = AVERROR(ENOMEM);
    } else {
        status = avio_open(&s.format->pb, url_.c_str(), AVIO_FLAG_WRITE);
        // The samples' bytes go straight to the file, not through the buffer.
        if (status >= 0) s.format->pb->direct = 1;
    }
    if (status < 0) {
        av_dict_free(&options);
        fail(std::make_exception_ptr(SystemError::ffmpeg(status, "create " + url_.string())));
    }
    status = avformat_write_header(s.format, &options);
    av_dict_free(&options);
    if (status < 0) fail(std::make_exception_ptr(SystemError::ffmpeg(status, "start writing " + url_.string())));
    s.status = Status::writing;
}

void MovieWriter::append(const Sample& sample, std::span<const uint8_t> bytes) {
    std::lock_guard g(lock_);
    State& s = *state_;
    checkWriting();
    if (!s.video) fail(nullptr);
    auto packet = FFmpeg::packet();
    if (!packet || av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
        fail(std::make_exception_ptr(std::bad_alloc()));
    }
    if (!bytes.empty()) std::memcpy(packet->data, bytes.data(), bytes.size());
    writeSample(packet.get(), sample);
}

void MovieWriter::append(const Sample& sample, const AVBufferRef& shared, size_t at, size_t size) {
    std::lock_guard g(lock_);
    State& s = *state_;
    checkWriting();
    if (!s.video || at > shared.size || size > shared.size - at || size > INT_MAX) fail(nullptr);
    auto packet = FFmpeg::packet();
    if (!packet || !(packet->buf = av_buffer_ref(const_cast<AVBufferRef*>(&shared)))) {
        fail(std::make_exception_ptr(std::bad_alloc()));
    }
    packet->data = packet->buf->data + at;
    packet->size = static_cast<int>(size);
    writeSample(packet.get(), sample);
}

bool MovieWriter::laidOut() const {
    std::lock_guard g(lock_);
    return state_->laidOut != nullptr;
}

void MovieWriter::append(const Sample& sample, std::shared_ptr<const MovieFile> file, int64_t offset, int64_t size) {
    std::lock_guard g(lock_);
    State& s = *state_;
    checkWriting();
    if (!s.video || !s.laidOut || size <= 0 || size > s.laidOut->standSize) fail(nullptr);
    auto packet = FFmpeg::packet();
    if (!packet || !(packet->buf = av_buffer_ref(s.stand.get()))) fail(std::make_exception_ptr(std::bad_alloc()));
    packet->data = packet->buf->data;
    packet->size = static_cast<int>(size);
    s.laidOut->copies.push_back({std::move(file), {offset, size}});
    writeSample(packet.get(), sample);
}

void MovieWriter::writeSample(AVPacket* packet, const Sample& sample) {
    State& s = *state_;
    stamp(packet, sample, s.video, s.inputBase);
    write(packet);
}

void MovieWriter::take(std::span<const VideoEncoder::Packet> packets) {
    std::lock_guard g(lock_);
    State& s = *state_;
    checkWriting();
    if (!s.encoded) fail(nullptr);
    for (const auto& p : packets) {
        auto packet = FFmpeg::packet();
        if (!packet || av_new_packet(packet.get(), static_cast<int>(p.bytes.size())) < 0) {
            fail(std::make_exception_ptr(std::bad_alloc()));
        }
        std::memcpy(packet->data, p.bytes.data(), p.bytes.size());
        packet->stream_index = s.video->index;
        packet->pts = p.pts * s.ticksPerFrame;
        packet->dts = p.dts * s.ticksPerFrame;
        packet->duration = s.ticksPerFrame;
        if (p.isSync) packet->flags |= AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(packet.get(), s.inputBase, s.video->time_base);
        write(packet.get());
    }
}

void MovieWriter::refuse(std::exception_ptr failure) {
    std::lock_guard g(lock_);
    fail(failure);
}

void MovieWriter::appendAudio(const AVPacket& packet) {
    std::lock_guard g(lock_);
    State& s = *state_;
    checkWriting();
    if (!s.audio) fail(nullptr);
    auto p = FFmpeg::packet();
    if (!p || av_packet_ref(p.get(), &packet) < 0) fail(std::make_exception_ptr(std::bad_alloc()));
    p->stream_index = s.audio->index;
    p->pos = -1;
    av_packet_rescale_ts(p.get(), s.audioBase, s.audio->time_base);
    write(p.get());
}

void MovieWriter::finishWriting() {
    std::lock_guard g(lock_);
    checkWriting();
    State& s = *state_;
    try {
        if (s.laidOut) s.laidOut->flush();
    } catch (...) {
        failCopy(std::current_exception());
    }
    int status = av_write_trailer(s.format);
    if (status >= 0 && s.laidOut) {
        // Other samples than planned would leave the movie box over bytes
        // already written.
        const LaidOutFile& o = *s.laidOut;
        if (!o.copies.empty() || o.dataEnd != s.expected.dataEnd || o.movedFirst != s.expected.moovAt ||
            o.movedEnd != s.expected.moovAt + s.expected.moovSize) {
            fail(std::make_exception_ptr(std::logic_error("the movie box outgrew its room")));
        }
    }
    if (status >= 0) status = s.close();
    if (status < 0) fail(std::make_exception_ptr(SystemError::ffmpeg(status, "finish " + url_.string())));
    s.status = Status::completed;
}

void MovieWriter::cancelWriting() {
    std::lock_guard g(lock_);
    State& s = *state_;
    if (s.status == Status::completed) return;
    s.close();
    s.status = Status::cancelled;
}

} // namespace korvel
