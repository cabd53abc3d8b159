#pragma once

#include "Core/Audio/PCMAudio.hpp"
#include "Core/Jobs.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

struct AVCodecContext;
struct AVPacket;

namespace korvel {

// One libavcodec audio encoder fed planar float (48 kHz unless told): FFmpeg's native AAC
// (AAC-LC) or ALAC with 24-bit samples.
class AudioEncoder {
public:
    enum class Codec { aac, alac };
    using PacketSink = std::function<void(const AVPacket&)>;

    // Throws EngineFailure -32603 "Could not set up the AAC encoder." (or
    // "...the audio writer.") when the encoder can't be opened.
    // `fastCoder` picks FFmpeg's faster AAC coefficient search (previews).
    // Mixes are 48 kHz; an export's mix file keeps its own rate.
    AudioEncoder(Codec codec, int channels, int64_t bitRate, bool globalHeader, bool fastCoder = false,
                 int sampleRate = static_cast<int>(PCMAudio::sampleRate));
    ~AudioEncoder();
    AudioEncoder(const AudioEncoder&) = delete;
    AudioEncoder& operator=(const AudioEncoder&) = delete;

    AVCodecContext* context() const { return context_; }
    int frameSize() const;

    // Frames [from, from + count) of every channel; the encoder's own frame
    // size is collected inside. Silence of `count` frames when `audio` is null.
    void feed(const PCMAudio* audio, int64_t from, int64_t count, const PacketSink& sink);
    // Ends the stream: the last partial frame and the encoder's tail.
    // Feeding and finishing AAC fail with -32603 "AAC encoding failed: ..."
    // (aacFailure); ALAC with the library's SystemError, for the writer to word.
    void finish(const PacketSink& sink);

    // An AAC cycle's failure in the engine's words: an EngineFailure passes
    // unchanged; anything else becomes -32603 "AAC encoding failed: " and a
    // plain reason, its chain logged.
    static EngineFailure aacFailure(const std::exception_ptr& error);

private:
    void check(int status, std::string_view doing) const;
    void sendFrame(int frames, const PacketSink& sink);
    void drain(const PacketSink& sink);

    Codec codec_;
    AVCodecContext* context_ = nullptr;
    int channels_ = 0;
    std::vector<std::vector<float>> pending_;
    int64_t pts_ = 0;
};

} // namespace korvel
