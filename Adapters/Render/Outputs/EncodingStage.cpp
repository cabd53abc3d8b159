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

OpeningStage::OpeningStage(const VideoEncoding& encoding, PacketSink& writer, std::function<void(EncodingStage&)> started)
    : opening_(std::async(std::launch::async,
                          [encoding, &writer] { return std::make_unique<EncodingStage>(encoding, writer); })),
      started_(std::move(started)) {}

EncodingStage& OpeningStage::stage() {
    if (!stage_) {
        stage_ = opening_.get();
        if (started_) started_(*stage_);
    }
    return *stage_;
}

void OpeningStage::take(const EncoderPicture& picture, int64_t index) { stage().take(picture, index); }

} // namespace korvel
