#include "Adapters/Audio/AACStreamEncoder.hpp"

#include "Adapters/Audio/AudioEncoder.hpp"
#include "Adapters/Render/FFmpeg.hpp"
#include "Core/Jobs.hpp"

#include <algorithm>

namespace korvel::AACStreamEncoder {

namespace {
constexpr int64_t blockFrames = 8192;
} // namespace


namespace {
void encoded(const PCMAudio& audio, int64_t bitRate, GrowingAudioStream& stream) {
    const int channels = static_cast<int>(std::max<int64_t>(1, audio.channelCount()));
    // Previews take the faster coefficient search: the stream races the player.
    AudioEncoder encoder(AudioEncoder::Codec::aac, channels, bitRate, false, true);
    stream.begin({encoderDelayFrames, audio.frameCount(), channels, bitRate});
    Task::checkCancellation();
    std::vector<std::vector<uint8_t>> batch;
    auto sink = [&](const AVPacket& p) { batch.emplace_back(p.data, p.data + p.size); };
    auto publish = [&] {
        if (!batch.empty()) stream.append(std::move(batch));
        batch.clear();
        if (stream.stopped()) throw Cancelled();
        Task::checkCancellation();
    };
    encoder.feed(nullptr, 0, leadingSilenceFrames, sink);
    const PCMAudio* source = audio.channelCount() > 0 ? &audio : nullptr;
    for (int64_t at = 0; at < audio.frameCount(); at += blockFrames) {
        encoder.feed(source, at, std::min(blockFrames, audio.frameCount() - at), sink);
        publish();
    }
    encoder.finish(sink);
    publish();
    stream.finish();
}
} // namespace

void encode(const PCMAudio& audio, int64_t bitRate, GrowingAudioStream& stream) {
    try {
        encoded(audio, bitRate, stream);
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        throw AudioEncoder::aacFailure(std::current_exception());
    }
}

EncodedAudioStream encode(const PCMAudio& audio, int64_t bitRate) {
    GrowingAudioStream stream;
    encode(audio, bitRate, stream);
    return stream.snapshot();
}

} // namespace korvel::AACStreamEncoder
