#include "Adapters/Render/Outputs/FragmentWriter.hpp"

#include "Adapters/Media/MediaFailure.hpp"
#include "Core/Container/AnnexB.hpp"
#include "Core/Container/VideoFragmentWriter.hpp"
#include "Core/Timeline/WideMath.hpp"

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

void FragmentWriter::take(std::span<const VideoEncoder::Packet> packets) {
    packets_.insert(packets_.end(), packets.begin(), packets.end());
}

void FragmentWriter::refuse(std::exception_ptr failure) {
    throw MediaFailure::writing(failure, MediaFailure::Phrase{"The preview"});
}

std::vector<uint8_t> FragmentWriter::fragment(const VideoEncoder& encoder) const {
    if (packets_.empty()) throw EngineFailure::writeFailed("The preview encoder gave nothing.");
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
    samples.reserve(packets_.size());
    // A 4-byte length replaces each start code of 3 or 4 bytes.
    size_t coded = 0;
    for (const auto& p : packets_) coded += p.bytes.size() + p.bytes.size() / 64 + 16;
    std::vector<uint8_t> payload;
    payload.reserve(coded);
    for (const auto& p : packets_) {
        auto bytes = AnnexB::lengthPrefixed(p.bytes);
        CopiedSample s;
        s.duration = tpf;
        s.size = static_cast<uint32_t>(bytes.size());
        s.compositionOffset = static_cast<int32_t>((p.pts - p.dts) * static_cast<int64_t>(tpf));
        s.isSync = p.isSync;
        samples.push_back(s);
        payload.insert(payload.end(), bytes.begin(), bytes.end());
    }
    try {
        return VideoFragmentWriter::fragment(format, static_cast<uint32_t>(e.grid.timescale), samples, payload);
    } catch (...) {
        throw MediaFailure::writing(std::current_exception(), MediaFailure::Phrase{"The preview"});
    }
}

} // namespace korvel
