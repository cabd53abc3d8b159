#pragma once

#include "Adapters/Render/Picture.hpp"
#include "Adapters/Render/VideoSource.hpp"
#include "Core/Render/AssetMethodTypes.hpp"
#include "Core/Render/RGBAImage.hpp"
#include "Core/Render/RenderSize.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace korvel {

// Decodes single frames of an opened video track from its stored samples,
// starting at the sync sample before the wanted one.
namespace VideoFrames {

// Whether some decoder of this engine reads the track's first description.
bool canDecode(const VideoTrack& track);

// Whether the first frame that the first samples give decodes. Never throws.
bool decodesFirst(const std::filesystem::path& url, const VideoTrack& track);
// Whether the frame of a sample (decode order) decodes. Never throws.
bool decodes(const std::filesystem::path& url, const VideoTrack& track, size_t sample);

// The frame of a sample as an RGB picture of the given size before the
// orientation is applied. `checkpoint` runs between samples and may throw
// (cancellation). Throws EngineFailure for unreadable bytes and SystemError
// when the decoder fails.
Picture picture(const std::filesystem::path& url, const VideoTrack& track, size_t sample, RenderSize size,
                const std::function<void()>& checkpoint = {});

// The colour tags the bitstream of the first frame carries; nothing when
// the frame does not decode or says nothing. Never throws.
std::optional<AssetColor> bitstreamColor(const std::filesystem::path& url, const VideoTrack& track);

} // namespace VideoFrames

// One decoded picture as the decoder gave it; converted on demand, so the
// conversion runs on whichever thread draws.
class DecodedFrame {
public:
    struct Held;
    explicit DecodedFrame(std::shared_ptr<Held> held) : held_(std::move(held)) {}

    int64_t width() const;
    int64_t height() const;
    // A part of the picture in source pixels.
    struct Region {
        double left = 0, top = 0, width = 0, height = 0;
    };
    // In the working space (linear light, BT.709 primaries, alpha 1), the
    // region (default the whole picture) scaled to the size. Throws
    // SystemError when the conversion fails.
    RGBAImage linear(RenderSize size, std::optional<Region> region = std::nullopt) const;
    // 8-bit RGB as the picture is tagged, scaled to the size.
    Picture rgb(RenderSize size) const;

private:
    std::shared_ptr<Held> held_;
};

// Decodes one track in presentation order for a render: frames asked in
// ascending time decode forward; a jump back or far ahead starts again at
// the sync sample before.
class TrackReader {
public:
    // Throws EngineFailure -32001 when the file can't be opened.
    explicit TrackReader(std::shared_ptr<const VideoSource> video);
    ~TrackReader();
    TrackReader(const TrackReader&) = delete;
    TrackReader& operator=(const TrackReader&) = delete;

    // The frame on screen at a time of the frame table. Throws SystemError
    // when it does not decode; `checkpoint` runs between samples.
    std::shared_ptr<const DecodedFrame> frame(int64_t tableTicks, const std::function<void()>& checkpoint = {});

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace korvel
