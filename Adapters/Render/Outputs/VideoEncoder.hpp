#pragma once

#include "Adapters/Render/Outputs/VideoEncoding.hpp"
#include "Core/Picture/Kernels/PlaneKernels.hpp"
#include "Core/Picture/PixelChain.hpp"
#include "Core/Picture/RGBAImage.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct AVCodecParameters;
struct AVFrame;

namespace korvel {

// A drawn picture converted for the encoder (4:2:0, 8 or 10 bits, tagged).
class EncoderPicture {
public:
    struct Held;
    explicit EncoderPicture(std::shared_ptr<Held> held) : held_(std::move(held)) {}
    const std::shared_ptr<Held>& held() const { return held_; }
    // The converted planes, as the encoder gets them.
    const AVFrame& frame() const;

    // Working-space pixels (linear light) to the stream's format; alpha is
    // dropped, the picture being composited over black already. A standard
    // range picture may come as straight BT.709 values instead (what
    // `encodedSpace` names), alpha beside. Throws SystemError when the
    // conversion fails.
    static EncoderPicture from(const RGBAImage& image, const VideoEncoding& encoding,
                               PixelDomain values = PixelDomain::linearPremultiplied);
    // The gamma space whose values from() takes as they are, if any.
    static std::optional<ColorSpace> encodedSpace(const VideoEncoding& encoding);

    // Canvas-wide rows of R'G'B' already in the stream's coding: row y into
    // r, g and b, the stream's width each.
    using SignalRow = std::function<void(int y, float* r, float* g, float* b)>;
    // Those rows to the stream's format, held to its curve's range, without
    // the working space in between. Throws as from() does.
    static EncoderPicture fromSignal(const SignalRow& row, const VideoEncoding& encoding);
    // The curve the stream is coded with.
    static PlaneKernels::TargetCurve curve(const VideoEncoding& encoding);

private:
    std::shared_ptr<Held> held_;
};

// libx264 or libx265 behind one small interface. Logging of both goes
// nowhere: standard error carries only the engine's own lines.
class VideoEncoder {
public:
    struct Packet {
        std::vector<uint8_t> bytes; // Annex B for H.264 and HEVC
        int64_t pts = 0;            // frames
        int64_t dts = 0;            // frames; may be negative with B-frames
        bool isSync = false;
    };
    using Sink = std::function<void(Packet&&)>;

    // Throws EngineFailure -32003 "The encoder refused its settings." when
    // the encoder does not open.
    VideoEncoder(const VideoEncoding& encoding, bool globalHeader);
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    const VideoEncoding& encoding() const { return encoding_; }
    // Parameter sets out of band (Annex B), when asked for a global header.
    std::vector<uint8_t> extradata() const;
    void describe(AVCodecParameters* into) const;

    // Throws SystemError when encoding fails.
    void encode(const EncoderPicture& picture, int64_t index, const Sink& sink);
    void finish(const Sink& sink);

private:
    void drain(const Sink& sink);
    VideoEncoding encoding_;
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace korvel
