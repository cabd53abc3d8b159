#pragma once

#include "Adapters/Render/Drawing/GraphRunner.hpp"
#include "Adapters/Render/Outputs/PacketSink.hpp"

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

} // namespace korvel
