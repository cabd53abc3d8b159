#include "Adapters/Audio/AACStreamEncoder.hpp"

#include "Adapters/Audio/AudioEncoder.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Core/Jobs.hpp"

#include <algorithm>

namespace korvel::AACStreamEncoder {

namespace {
constexpr int64_t blockFrames = 8192;
} // namespace


namespace {
void encoded(const PCMSource& audio, int64_t bitRate, GrowingAudioStream& stream) {
    const int channels = std::max(1, audio.channelCount());
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
    for (int64_t at = 0; at < audio.frameCount(); at += blockFrames) {
        const int64_t n = std::min(blockFrames, audio.frameCount() - at);
        const PCMAudio block = audio.channelCount() > 0 ? audio.chunk(at, n) : PCMAudio();
        encoder.feed(audio.channelCount() > 0 ? &block : nullptr, 0, n, sink);
        publish();
    }
    encoder.finish(sink);
    publish();
    stream.finish();
}
} // namespace

void encode(const PCMAudio& audio, int64_t bitRate, GrowingAudioStream& stream) {
    encode(*PCMSources::of(audio), bitRate, stream);
}

void encode(const PCMSource& audio, int64_t bitRate, GrowingAudioStream& stream) {
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
