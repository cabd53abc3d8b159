#include "Adapters/Render/Outputs/FragmentWriter.hpp"

#include "Adapters/Media/MediaFailure.hpp"
#include "Core/Container/AnnexB.hpp"
#include "Core/Container/VideoFragmentWriter.hpp"
#include "Core/Timeline/WideMath.hpp"

#include <utility>

namespace korvel {

int64_t FragmentWriter::bitrate(RenderSize size) {
    WideMath::Wide b = WideMath::mul(WideMath::mul(size.width, size.height), 16'000'000);
    if (b < 2'954'880'000'000) return 2'000'000;
    if (b >= 23'639'040'000'000) return 16'000'000;
    return static_cast<int64_t>(b / 1'477'440);
}

VideoEncoding FragmentWriter::encoding(RenderSize size, const FrameGrid& grid) {
    VideoEncoding e;
    e.codec = VideoEncoding::Codec::h264;
    e.profile = "high";
    e.bitrate = bitrate(size);
    e.keyframeIntervalSeconds = 2.0;
    e.allowsReordering = false;
    e.size = size;
    e.grid = grid;
    e.dynamicRange = DynamicRange::sdr;
    e.preset = "veryfast";
    e.constrained = true;
    return e;
}

namespace {

// The colr payload of BT.709 video-range pictures.
MP4BoxWriter::Bytes bt709Colr() { return {'n', 'c', 'l', 'x', 0, 1, 0, 1, 0, 1, 0}; }

} // namespace

void FragmentWriter::reserve(size_t bytes, size_t samples) {
    if (!taken_.empty()) return;
    // The movie box and its avcC take well under a kilobyte; each sample 16 bytes of moof.
    room_ = 2048 + 16 * samples;
    file_.reserve(room_ + bytes);
    file_.assign(room_, 0);
}

void FragmentWriter::take(std::span<const VideoEncoder::Packet> packets) {
    for (const auto& p : packets) {
        // A 4-byte length replaces each start code of 3 or 4 bytes.
        const size_t size = AnnexB::appendLengthPrefixed(p.bytes, file_);
        taken_.push_back({static_cast<uint32_t>(size), p.pts - p.dts, p.isSync});
    }
}

void FragmentWriter::refuse(std::exception_ptr failure) {
    throw MediaFailure::writing(failure, MediaFailure::Phrase{"The preview"});
}

std::vector<uint8_t> FragmentWriter::fragment(const VideoEncoder& encoder) {
    if (taken_.empty()) throw EngineFailure::writeFailed("The preview encoder gave nothing.");
    const VideoEncoding& e = encoder.encoding();
    CopiedVideoFormat format;
    format.sampleEntry = "avc1";
    format.configBox = "avcC";
    format.config = AnnexB::avcC(encoder.extradata());
    if (format.config.empty()) throw EngineFailure::writeFailed("The preview encoder gave nothing.");
    format.width = e.size.width;
    format.height = e.size.height;
    format.color = bt709Colr();
    auto tpf = static_cast<uint32_t>(e.grid.ticksPerFrame);
    std::vector<CopiedSample> samples;
    samples.reserve(taken_.size());
    for (const Taken& t : taken_) {
        samples.push_back({tpf, t.size, static_cast<int32_t>(t.reorder * static_cast<int64_t>(tpf)), t.isSync});
    }
    try {
        VideoFragmentWriter::fragmentAround(format, static_cast<uint32_t>(e.grid.timescale), samples, file_, room_);
    } catch (...) {
        throw MediaFailure::writing(std::current_exception(), MediaFailure::Phrase{"The preview"});
    }
    taken_.clear();
    room_ = 0;
    return std::exchange(file_, {});
}

} // namespace korvel
