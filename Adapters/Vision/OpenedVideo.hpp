#pragma once

#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Core/Jobs.hpp"
#include "Core/Timeline/PTSTable.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace korvel {

// One decoded picture lent to a frame callback for the length of the call.
struct VideoFrame {
    int64_t width = 0;
    int64_t height = 0;
    // 32-bit BGRA, rows of `bytesPerRow` bytes.
    const uint8_t* bgra = nullptr;
    int64_t bytesPerRow = 0;

    std::span<const uint8_t> bytes() const {
        return {bgra, height > 0 ? size_t((height - 1) * bytesPerRow + width * 4) : 0};
    }
};

struct DecoderShelf;

// A video file opened for the frame analysers: its first video track, the
// facts they need, and a synchronous walk over its decoded frames, through
// the same source and decoder the renders use.
struct OpenedVideo {
    enum class PixelFormat { bgra32 };
    // The transfer function of the delivered pixels.
    enum class Transfer { sRGB, bt709 };

    using Body = std::function<void(const VideoFrame& frame, int64_t atUs)>;
    // Frames it turns down are neither converted nor delivered.
    using Wanted = std::function<bool(int64_t atUs)>;
    // Asked ahead of decoding, in decode order, whether a frame shown then
    // may be wanted: pictures that nothing refers to and it turns down are
    // not decoded.
    using Foreseen = std::function<bool(int64_t atUs)>;
    // The same walk's frames at a second size, for those `wanted` takes,
    // each handed to `body` before the walk's own. Only when both sizes
    // decode alike (with or without deblocking); otherwise none is.
    struct Beside {
        int64_t width = 0;
        int64_t height = 0;
        Transfer transfer = Transfer::bt709;
        Wanted wanted;
        Body body;
    };

    std::filesystem::path url;
    std::shared_ptr<const VideoSource> source;
    // The shown times of the track's frames.
    PTSTable table;
    PictureSize naturalSize;
    int orientation = 1;
    int64_t durationUs = 0;
    // The last walk's decoder, so that the next one does not make and clear
    // its picture buffers again.
    std::shared_ptr<DecoderShelf> shelf;

    // Throws EngineFailure: -32001 "The file is not there anymore.", -32602
    // "This file has no video track.", -32002 when the track can't be read
    // or the file can't (a movie file cut before its movie box among them).
    static OpenedVideo open(const std::filesystem::path& url);

    // Every frame in presentation order, times strictly increasing. A job that
    // must give way stops the decoder, waits, and resumes after the last frame
    // delivered. Throws Cancelled, the reading failures, or what `body` throws.
    // With `afterUs`, only the frames shown after it, decoded from the sync
    // sample before the first of them.
    void forEachFrame(int64_t width, int64_t height, PixelFormat format, Transfer transfer, const JobContext& job,
                      const Body& body, const Wanted& wanted = {}, const Foreseen& foreseen = {},
                      const Beside* beside = nullptr, std::optional<int64_t> afterUs = std::nullopt) const;
    // Whether frames walked at this size are decoded without deblocking.
    bool decodesRoughly(int64_t width, int64_t height) const;
    // The shown times of the track's frames, ascending, as a walk delivers them.
    std::vector<int64_t> shownTimesUs() const;
};

} // namespace korvel
