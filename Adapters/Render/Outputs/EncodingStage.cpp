#include "Adapters/Render/Outputs/EncodingStage.hpp"

namespace korvel {

EncodingStage::EncodingStage(const VideoEncoding& encoding, PacketSink& writer)
    : encoder_(encoding, true), writer_(writer) {}

void EncodingStage::take(const EncoderPicture& picture, int64_t index) {
    packets_.clear();
    try {
        encoder_.encode(picture, index, [this](VideoEncoder::Packet&& p) { packets_.push_back(std::move(p)); });
    } catch (...) {
        writer_.refuse(std::current_exception());
    }
    writer_.take(packets_);
}

void EncodingStage::finish() {
    packets_.clear();
    try {
        encoder_.finish([this](VideoEncoder::Packet&& p) { packets_.push_back(std::move(p)); });
    } catch (...) {
        writer_.refuse(std::current_exception());
    }
    writer_.take(packets_);
}

} // namespace korvel
