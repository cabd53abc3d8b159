#pragma once

#include "Adapters/Render/Drawing/GraphRunner.hpp"
#include "Adapters/Render/Outputs/PacketSink.hpp"

#include <functional>
#include <future>
#include <memory>
#include <vector>

namespace korvel {

// The one encoder between a render and its writer: pictures in order in,
// packets out to the writer. The render's last serial step calls it, so
// pictures are encoded one at a time and in order.
class EncodingStage : public FrameSink {
public:
    // -32003 "The encoder refused its settings." when the encoder does not open.
    EncodingStage(const VideoEncoding& encoding, PacketSink& writer);

    const VideoEncoder& encoder() const { return encoder_; }
    void take(const EncoderPicture& picture, int64_t index) override;
    // The encoder's tail to the writer.
    void finish();

private:
    VideoEncoder encoder_;
    PacketSink& writer_;
    std::vector<VideoEncoder::Packet> packets_; // of the picture at hand
};

// An encoding stage opened on a thread of its own while the render draws its
// first pictures: x264 and x265 take tens of milliseconds to open, more the
// first time in a process. `started` runs with the open stage before the
// first picture reaches it.
class OpeningStage : public FrameSink {
public:
    OpeningStage(const VideoEncoding& encoding, PacketSink& writer, std::function<void(EncodingStage&)> started = {});
    void take(const EncoderPicture& picture, int64_t index) override;
    // The stage, waited for and started if no picture came. Throws as
    // EncodingStage's constructor does.
    EncodingStage& stage();

private:
    std::future<std::unique_ptr<EncodingStage>> opening_;
    std::unique_ptr<EncodingStage> stage_;
    std::function<void(EncodingStage&)> started_;
};

} // namespace korvel
