#include "Adapters/Render/Sources/VideoFrames.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Render/Sources/VideoFrameWalk.hpp"

#include "Adapters/Render/Sources/ColorTags.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Render/Sources/FrameConversion.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/StoredSamples.hpp"
#include "Adapters/Render/Sources/VideoDecoder.hpp"
#include "Adapters/Media/SystemError.hpp"

#include <optional>
#include <utility>

namespace korvel {

namespace {

int64_t timeOf(const AVFrame& frame) {
    return frame.pts != AV_NOPTS_VALUE ? frame.pts : frame.best_effort_timestamp;
}

// Decodes from the sync sample before `target` until `take` accepts a frame.
// `wanted` picks frames: the target's own, or the first to come out.
enum class Wanted { target, first };

bool decodeUpTo(const MovieFile& file, const VideoTrack& track, size_t target, Wanted wanted,
                VideoDecoder::Tuning tuning, const std::function<void(AVFrame&)>& use,
                const std::function<void()>& checkpoint, int* decoderError) {
    const auto& samples = track.samples;
    if (target >= samples.size()) return false;
    const MovieSample& goal = samples[target];
    if (goal.descriptionIndex >= track.movie.sampleEntries.size()) return false;
    size_t start = target;
    while (start > 0 && !samples[start].isSync) --start;
    // A first frame that has not come out after this many samples never will.
    size_t last = wanted == Wanted::target ? target : std::min(samples.size() - 1, start + 300);
    if (wanted == Wanted::target) tuning.frames = static_cast<int64_t>(last - start + 1);
    auto decoder = VideoDecoder::make(track, goal.descriptionIndex, tuning);
    if (!decoder) return false;
    bool found = false;
    auto take = [&](AVFrame& frame) {
        if (wanted == Wanted::first || timeOf(frame) == goal.presentationTime()) {
            use(frame);
            found = true;
        }
        return found;
    };
    for (size_t i = start; i <= last; ++i) {
        if (checkpoint) checkpoint();
        const MovieSample& s = samples[i];
        StoredSamples::Entry entry{s.offset, s.size};
        auto bytes = StoredSamples::read(std::span(&entry, 1), file);
        // Nothing refers to the pictures skipped, so the target decodes the same.
        if (wanted == Wanted::target) decoder->skipUnreferenced(i != target);
        if (decoder->send(bytes, s, take)) break;
    }
    if (!found) decoder->finish(take);
    if (decoderError) *decoderError = decoder->lastError();
    return found;
}

} // namespace

std::shared_ptr<const MovieFile> VideoFrames::samplesFile(const std::filesystem::path& url, const VideoTrack& track) {
    if (track.bytes) return track.bytes;
    return std::make_shared<const MovieFile>(url);
}

bool VideoFrames::canDecode(const VideoTrack& track) { return VideoDecoder::canDecode(track); }

int VideoFrames::walk(const std::filesystem::path& url, const VideoTrack& track, size_t from,
                      const std::function<bool(const AVFrame&)>& take, const std::function<void()>& checkpoint,
                      bool rough, const std::function<bool(const MovieSample&)>& skippable, KeptDecoder* kept) {
    const auto& samples = track.samples;
    if (from >= samples.size()) return 0;
    size_t start = from;
    while (start > 0 && !samples[start].isSync) --start;
    const size_t description = samples[start].descriptionIndex;
    if (description >= track.movie.sampleEntries.size()) return AVERROR_INVALIDDATA;
    std::optional<VideoDecoder> decoder;
    if (kept && kept->decoder && kept->description == description && kept->rough == rough) {
        decoder = std::exchange(kept->decoder, std::nullopt);
        decoder->restart();
    } else {
        decoder = VideoDecoder::make(track, description, {.rough = rough});
    }
    if (!decoder) return AVERROR_DECODER_NOT_FOUND;
    auto file = samplesFile(url, track);
    bool stopped = false;
    auto give = [&](AVFrame& frame) {
        stopped = !take(frame);
        return stopped;
    };
    for (size_t i = start; i < samples.size() && !stopped; ++i) {
        if (checkpoint) checkpoint();
        const MovieSample& s = samples[i];
        StoredSamples::Entry entry{s.offset, s.size};
        auto bytes = StoredSamples::read(std::span(&entry, 1), *file);
        if (skippable) decoder->skipUnreferenced(skippable(s));
        decoder->send(bytes, s, give);
    }
    if (!stopped) decoder->finish(give);
    const int error = decoder->lastError();
    if (kept) *kept = {description, rough, std::move(decoder)};
    return error;
}

std::optional<VideoFrames::FirstFrame> VideoFrames::firstFrame(const std::filesystem::path& url,
                                                               const VideoTrack& track) {
    if (track.samples.empty()) return std::nullopt;
    try {
        auto file = samplesFile(url, track);
        FirstFrame first;
        auto read = [&](AVFrame& frame) {
            if (frame.color_trc == AVCOL_TRC_UNSPECIFIED && frame.color_primaries == AVCOL_PRI_UNSPECIFIED &&
                frame.colorspace == AVCOL_SPC_UNSPECIFIED) {
                return;
            }
            first.color = ColorTags::described(frame.color_primaries, frame.color_trc, frame.colorspace,
                                               frame.color_range == AVCOL_RANGE_JPEG);
        };
        // Only looked at, never shown: no deblocking, and no frame threads
        // that would decode a frame per thread before the first comes out.
        if (!decodeUpTo(*file, track, 0, Wanted::first, {.rough = true, .noDelay = true}, read, {}, nullptr)) {
            return std::nullopt;
        }
        return first;
    } catch (...) {
        return std::nullopt;
    }
}

bool VideoFrames::decodes(const std::filesystem::path& url, const VideoTrack& track, size_t sample) {
    try {
        auto file = samplesFile(url, track);
        // Whether it decodes at all does not depend on deblocking, nor on
        // frame threads, each of which would fill pictures of its own for
        // one answer.
        return decodeUpTo(*file, track, sample, Wanted::target, {.rough = true, .noDelay = true}, [](AVFrame&) {}, {},
                          nullptr);
    } catch (...) {
        return false;
    }
}

namespace {

// Decodes the frame of a sample for `use`; the errors of VideoFrames::picture.
void decodeFrame(const std::filesystem::path& url, const VideoTrack& track, size_t sample,
                 const std::function<void()>& checkpoint, const std::function<void(AVFrame&)>& use) {
    std::shared_ptr<const MovieFile> file;
    try {
        file = VideoFrames::samplesFile(url, track);
    } catch (...) {
        throw EngineFailure::sourceUnavailable(nameOf(url) + " can't be read.");
    }
    int decoderError = 0;
    bool found = decodeUpTo(*file, track, sample, Wanted::target, {}, use, checkpoint, &decoderError);
    if (!found) {
        throw SystemError::ffmpeg(decoderError ? decoderError : AVERROR_INVALIDDATA,
                                  "decode the frame of " + nameOf(url));
    }
}

RenderSize atLeastOne(RenderSize size) { return {std::max<int64_t>(size.width, 1), std::max<int64_t>(size.height, 1)}; }

} // namespace

Picture VideoFrames::picture(const std::filesystem::path& url, const VideoTrack& track, size_t sample, RenderSize size,
                             const std::function<void()>& checkpoint) {
    std::optional<Picture> picture;
    size = atLeastOne(size);
    decodeFrame(url, track, sample, checkpoint, [&](AVFrame& frame) { picture = FrameConversion::picture(frame, size); });
    return std::move(*picture);
}

RGBAImage VideoFrames::image(const std::filesystem::path& url, const VideoTrack& track, size_t sample, RenderSize size,
                             const std::optional<AssetColor>& color, DynamicRange output,
                             const std::function<void()>& checkpoint) {
    std::optional<RGBAImage> image;
    size = atLeastOne(size);
    decodeFrame(url, track, sample, checkpoint, [&](AVFrame& frame) {
        image = FrameConversion::converted(frame, size, color, output, FrameValues::picture);
    });
    return std::move(*image);
}

} // namespace korvel

namespace korvel {

struct VideoFrames::DecodedFrame::State {
    FFmpeg::Frame frame;
    std::optional<AssetColor> color;
    DynamicRange output;
    FrameValues values;
    std::mutex converting;
    std::shared_ptr<const RGBAImage> image;
};

VideoFrames::DecodedFrame::DecodedFrame(std::unique_ptr<State> state) : state_(std::move(state)) {}

VideoFrames::DecodedFrame::~DecodedFrame() = default;

std::shared_ptr<const RGBAImage> VideoFrames::DecodedFrame::image() const {
    State& s = *state_;
    std::lock_guard lock(s.converting);
    if (!s.image) {
        s.image = std::make_shared<const RGBAImage>(FrameConversion::converted(*s.frame, s.color, s.output, s.values));
        s.frame.reset(); // the decoder's buffer goes back to its pool
    }
    return s.image;
}

std::optional<FrameConversion::SignalRows> VideoFrames::DecodedFrame::signal(PlaneKernels::TargetCurve target) const {
    State& s = *state_;
    std::lock_guard lock(s.converting);
    if (!s.frame || s.values != FrameValues::picture) return std::nullopt;
    return FrameConversion::signal(*s.frame, s.color, s.output, target);
}

std::optional<FrameConversion::PictureRows> VideoFrames::DecodedFrame::pictureRows() const {
    State& s = *state_;
    std::lock_guard lock(s.converting);
    if (!s.frame || s.values != FrameValues::picture) return std::nullopt;
    return FrameConversion::pictureRows(*s.frame, s.color, s.output);
}

struct VideoFrames::Reader::State {
    std::filesystem::path url;
    std::shared_ptr<const VideoTrack> track;
    std::optional<AssetColor> color;
    DynamicRange output;
    FrameValues values;
    std::shared_ptr<const MovieFile> file;
    std::optional<VideoDecoder> decoder;
    uint32_t description = 0;     // the running decoder's
    size_t next = 0;              // the next sample to send
    int64_t lastOut = INT64_MIN;  // presentation time of the last frame out
    size_t lastSample = SIZE_MAX;
    std::shared_ptr<const DecodedFrame> last;
};

VideoFrames::Reader::Reader(std::filesystem::path url, std::shared_ptr<const VideoTrack> track,
                            std::optional<AssetColor> color, DynamicRange output, FrameValues values)
    : state_(std::make_unique<State>()) {
    state_->url = std::move(url);
    state_->track = std::move(track);
    state_->color = std::move(color);
    state_->output = output;
    state_->values = values;
}

VideoFrames::Reader::~Reader() = default;

int VideoFrames::Reader::decoderThreads() const { return state_->decoder ? state_->decoder->threads() : 0; }

void VideoFrames::Reader::forgetLast() {
    state_->last.reset();
    state_->lastSample = SIZE_MAX;
}

std::shared_ptr<const RGBAImage> VideoFrames::Reader::frame(size_t target, const std::function<void()>& checkpoint) {
    return decoded(target, checkpoint)->image();
}

std::shared_ptr<const VideoFrames::DecodedFrame> VideoFrames::Reader::decoded(size_t target,
                                                                               const std::function<void()>& checkpoint) {
    State& s = *state_;
    const auto& samples = s.track->samples;
    auto fail = [&](int error) {
        return SystemError::ffmpeg(error ? error : AVERROR_INVALIDDATA, "decode the frame of " + nameOf(s.url));
    };
    if (target >= samples.size()) throw fail(0);
    if (target == s.lastSample && s.last) return s.last;
    if (!s.file) {
        try {
            s.file = samplesFile(s.url, *s.track);
        } catch (...) {
            throw EngineFailure::sourceUnavailable(nameOf(s.url) + " can't be read.");
        }
    }
    const MovieSample& goal = samples[target];
    const int64_t wanted = goal.presentationTime();
    size_t start = target;
    while (start > 0 && !samples[start].isSync) --start;
    // Continue only forward inside what the running decoder has reached.
    bool restart = !s.decoder || wanted <= s.lastOut || start > s.next;
    if (restart) {
        // The running decoder starts over when it can: its threads and the
        // picture buffers it made are kept, not made anew.
        if (s.decoder && s.description == goal.descriptionIndex && s.decoder->threadsFitNow()) {
            s.decoder->restart();
        } else {
            s.decoder.reset();
            s.decoder = VideoDecoder::make(*s.track, goal.descriptionIndex, {});
            if (!s.decoder) throw fail(0);
            s.description = goal.descriptionIndex;
        }
        s.next = start;
        s.lastOut = INT64_MIN;
    }
    std::shared_ptr<const DecodedFrame> found;
    auto take = [&](AVFrame& frame) {
        int64_t t = timeOf(frame);
        s.lastOut = t;
        if (t == wanted) {
            auto kept = std::make_unique<DecodedFrame::State>();
            kept->frame = FFmpeg::frame();
            if (!kept->frame || av_frame_ref(kept->frame.get(), &frame) < 0) throw std::bad_alloc();
            kept->color = s.color;
            kept->output = s.output;
            kept->values = s.values;
            found = std::make_shared<const DecodedFrame>(std::move(kept));
            return true;
        }
        return t > wanted; // the frame never comes out: stop looking
    };
    while (!found && s.next < samples.size()) {
        if (checkpoint) checkpoint();
        const MovieSample& sample = samples[s.next++];
        StoredSamples::Entry entry{sample.offset, sample.size};
        auto bytes = StoredSamples::read(std::span(&entry, 1), *s.file);
        // A picture shown before the wanted one is never asked of this
        // decoder again (going back starts anew), so only references count.
        s.decoder->skipUnreferenced(sample.presentationTime() < wanted);
        if (s.decoder->send(bytes, sample, take)) break;
    }
    s.decoder->skipUnreferenced(false);
    if (!found && s.next >= samples.size()) s.decoder->finish(take);
    if (!found) {
        int error = s.decoder->lastError();
        s.decoder.reset();
        throw fail(error);
    }
    s.lastSample = target;
    s.last = found;
    return found;
}

} // namespace korvel
