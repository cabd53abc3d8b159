#pragma once

#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Core/Container/MovieBox.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct AVFrame;

namespace korvel {

// One libavcodec decoder, chosen by a sample entry's codec and configured
// from its boxes, fed with the track's stored samples.
class VideoDecoder {
public:
    // Whether some decoder of this engine reads the entry.
    static bool canDecode(const MovieSampleEntry& entry);
    // How a decoder is set up beyond the entry's own configuration.
    struct Tuning {
        // Skips deblocking, for pictures that are shrunk many times over or
        // only checked for decoding at all.
        bool rough = false;
        // Slice threads only, so each frame comes out as soon as its sample
        // is in: frame threads hold back one frame per thread, which a
        // decoder that reads one frame and stops would decode for nothing.
        bool noDelay = false;
        // The most frames the decoder brings out, when known.
        std::optional<int64_t> frames = std::nullopt;
    };
    // Nothing when no decoder reads the entry or it does not open.
    static std::optional<VideoDecoder> make(const MovieSampleEntry& entry, int32_t timescale, Tuning tuning);
    static std::optional<VideoDecoder> make(const MovieSampleEntry& entry, int32_t timescale);
    // The decoder of one of a track's descriptions: the codec the track
    // names itself when it does, else the entry's. Nothing when no decoder
    // reads it or it does not open.
    static std::optional<VideoDecoder> make(const VideoTrack& track, uint32_t description, Tuning tuning);
    // Whether some decoder reads the track's first description.
    static bool canDecode(const VideoTrack& track);

    ~VideoDecoder();
    VideoDecoder(VideoDecoder&&) noexcept;
    VideoDecoder& operator=(VideoDecoder&&) noexcept;

    // Sends a sample; frames that come out go to `take`, which answers true
    // to stop. Returns true when `take` stopped.
    bool send(const std::vector<uint8_t>& bytes, const MovieSample& sample, const std::function<bool(AVFrame&)>& take);
    // Whether the next samples' pictures that nothing refers to are skipped:
    // for the frames before a wanted one, which come out of the decoder
    // only to be thrown away. Only where the codec marks them (H.264,
    // HEVC), so the pictures that are decoded are the same.
    void skipUnreferenced(bool skip);
    // Ends the stream and hands out the frames still inside.
    bool finish(const std::function<bool(AVFrame&)>& take);
    // Forgets the stream for another from a sync sample: the frames inside
    // are dropped, the picture buffers already made are kept.
    void restart();

    // The last error a sample or frame gave; 0 when none.
    int lastError() const;
    // The threads the decoder runs, as the library settled them.
    int threads() const;
    // Whether a decoder opened now would run as many: renders that started
    // or ended since this one opened change each decoder's share of the cores.
    bool threadsFitNow() const;
    // Decoders opened so far in the process (for tests).
    static uint64_t openedCount();
    // Pictures that came out of decoders so far in the process (for tests).
    static uint64_t decodedCount();

private:
    VideoDecoder();
    static std::optional<VideoDecoder> opened(int codecId, const std::optional<std::vector<uint8_t>>& config,
                                              const MovieSampleEntry& entry, int32_t timescale, Tuning tuning);
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace korvel
