#pragma once

#include "Adapters/Render/Sources/FrameConversion.hpp"
#include "Adapters/Render/Drawing/Picture.hpp"
#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Core/Wire/ExportMethodTypes.hpp"
#include "Core/Picture/RGBAImage.hpp"
#include "Core/Picture/RenderSize.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace korvel {

// Decodes single frames of an opened video track from its stored samples,
// starting at the sync sample before the wanted one.
namespace VideoFrames {

// The file a track's sample offsets point into, opened. Throws SystemError.
std::shared_ptr<const MovieFile> samplesFile(const std::filesystem::path& url, const VideoTrack& track);

// Whether some decoder of this engine reads the track's first description.
bool canDecode(const VideoTrack& track);

// What the first frame that the first samples give tells.
struct FirstFrame {
    // The colour tags its bitstream carries; nothing when it says nothing.
    std::optional<AssetColor> color;
};
// The first frame's facts; nothing when it does not decode. Never throws.
std::optional<FirstFrame> firstFrame(const std::filesystem::path& url, const VideoTrack& track);
// Whether the frame of a sample (decode order) decodes. Never throws.
bool decodes(const std::filesystem::path& url, const VideoTrack& track, size_t sample);

// The frame of a sample as an RGB picture of the given size before the
// orientation is applied. `checkpoint` runs between samples and may throw
// (cancellation). Throws EngineFailure for unreadable bytes and SystemError
// when the decoder fails.
Picture picture(const std::filesystem::path& url, const VideoTrack& track, size_t sample, RenderSize size,
                const std::function<void()>& checkpoint = {});
// The same frame at the given size in the working space, read as a Reader
// with these tags reads it. The same errors.
RGBAImage image(const std::filesystem::path& url, const VideoTrack& track, size_t sample, RenderSize size,
                const std::optional<AssetColor>& color, DynamicRange output, const std::function<void()>& checkpoint = {});

// What the frames of a track are read as: pictures in the working space or
// mask values as coded.
using FrameValues = FrameConversion::FrameValues;

// A decoded frame whose conversion runs on first use, on the thread that
// asks, so that decoding alone stays on the reading thread. Safe to share
// between threads; the conversion runs once.
class DecodedFrame {
public:
    struct State;
    explicit DecodedFrame(std::unique_ptr<State> state);
    ~DecodedFrame();
    DecodedFrame(const DecodedFrame&) = delete;
    DecodedFrame& operator=(const DecodedFrame&) = delete;

    // The frame at its natural size in the working space (or as mask
    // values). Throws SystemError when its pixel format can't be converted.
    std::shared_ptr<const RGBAImage> image() const;
    // Its R'G'B' signal straight from its planes, as FrameConversion::signal
    // gives it for `target`; nothing once it is converted.
    std::optional<FrameConversion::SignalRows> signal(PlaneKernels::TargetCurve target) const;
    // Its picture row by row, as FrameConversion::pictureRows gives it;
    // nothing once it is converted.
    std::optional<FrameConversion::PictureRows> pictureRows() const;

private:
    std::unique_ptr<State> state_;
};

// Reads the frames of one track one after another, as a render asks for
// them: forward requests continue the running decoder, a jump back or past
// the next sync sample starts again from the sync sample before.
class Reader {
public:
    // `color` is the track's container tags; without them the bitstream's
    // are used, else BT.709.
    Reader(std::filesystem::path url, std::shared_ptr<const VideoTrack> track, std::optional<AssetColor> color,
           DynamicRange output, FrameValues values);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The frame of a sample (decode order) at the track's natural size.
    // Throws EngineFailure for unreadable bytes, SystemError when decoding
    // fails.
    std::shared_ptr<const RGBAImage> frame(size_t sample, const std::function<void()>& checkpoint = {});
    // The same frame decoded but not yet converted; the same errors.
    std::shared_ptr<const DecodedFrame> decoded(size_t sample, const std::function<void()>& checkpoint = {});
    // The threads of the decoder kept running for the next frame; 0 when none is.
    int decoderThreads() const;
    // Lets go of the last frame, kept for a caller that asks for it again.
    void forgetLast();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace VideoFrames
} // namespace korvel
