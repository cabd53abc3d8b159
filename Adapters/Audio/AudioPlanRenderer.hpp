#pragma once

#include "Adapters/Audio/AudioPlan.hpp"
#include "Adapters/Audio/GrowingAudioStream.hpp"
#include "Adapters/Audio/IsolatedVoices.hpp"
#include "Adapters/Render/SourceLibrary.hpp"
#include "Core/Audio/AudioMixer.hpp"
#include "Core/Audio/VoiceIsolating.hpp"
#include "Core/JSONValue.hpp"
#include "Core/Jobs.hpp"

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvel {

// The one service that turns a plan's audio mix into sound: the finished
// mix file of audio.mix, and AAC audio segments cut from one encoding of the
// whole mix per plan and variant.
class AudioPlanRenderer {
public:
    enum class Variant { after, before, afterWithoutLevel };
    static std::string_view text(Variant v);

    struct FinalMix {
        std::string path;
        int64_t byteLength = 0;
        int64_t durationUs = 0;
        double integratedLufs = 0;
        double truePeakDb = 0;
        bool reachedTarget = false;
    };

    struct Segment {
        std::string key;
        std::string path;
        int64_t byteLength = 0;
        int64_t firstPtsUs = 0;
        int64_t durationUs = 0;
        int64_t frameCount = 0;
        bool copied = false;
    };

    static constexpr size_t maximumStreams = 4;
    static constexpr int64_t peakCheckBitRate = 256'000;
    static constexpr double peakToleranceDb = 0.02;
    static constexpr int limiterPasses = 3;

    AudioPlanRenderer(std::shared_ptr<VoiceIsolating> isolator, const std::filesystem::path& cacheRoot,
                      std::shared_ptr<SourceLibrary> library, std::string engineVersion);
    // Stops every encoder and waits for it.
    ~AudioPlanRenderer();
    AudioPlanRenderer(const AudioPlanRenderer&) = delete;
    AudioPlanRenderer& operator=(const AudioPlanRenderer&) = delete;

    AudioMixer::Result mix(const JSONValue& plan, const std::map<std::string, JSONValue>& sources, Variant variant,
                           const JobContext& job, bool measured);
    AudioMixer::Result mix(const AudioPlan& plan, Variant variant, const JobContext& job, bool measured);
    // The same mix with its buses and limiter curves in scratch files, read a
    // block at a time: what finalMix and the encoded streams use, so their
    // memory does not grow with the plan's length.
    AudioMixer::StoredBuilder::Finished streamedMix(const AudioPlan& plan, Variant variant, const JobContext& job,
                                                    bool measured);

    FinalMix finalMix(const JSONValue& plan, const std::map<std::string, JSONValue>& sources,
                      const std::filesystem::path& outPath, const JobContext& job);
    Segment segment(const JSONValue& plan, const std::map<std::string, JSONValue>& sources, const std::string& key,
                    Variant variant, int64_t outStartUs, int64_t outEndUs, const std::filesystem::path& outPath,
                    const JobContext& job);

    const std::shared_ptr<IsolatedVoices>& isolatedVoices() const { return isolatedVoices_; }
    // Samples of decoded sources and isolated voices one mix may hold in
    // memory; past it they are read from scratch files.
    static constexpr int64_t defaultHeldSamples = int64_t(1) << 25;
    void holdSamplesUpTo(int64_t samples) { heldSamples_ = samples; }
    // The streams held in memory, oldest first.
    std::vector<std::shared_ptr<GrowingAudioStream>> streams() const;

    // The true peak after one AAC cycle of the buffer, in dBTP.
    double encodedPeak(const PCMAudio& buffer) const;
    double encodedPeak(const PCMSource& buffer) const;

private:
    struct Entry {
        std::string key;
        Variant variant;
        std::shared_ptr<GrowingAudioStream> stream;
    };
    struct Encoder;
    struct Relay;

    // Decoded once per call and channel count; every track reads from the one
    // copy, held in memory while `room` (samples, shared by the call's sources
    // and isolated voices) lasts, else in a scratch file.
    PCMSources::Source sourceAudio(const std::string& assetId, AudioRole role, const AudioPlan& plan,
                                   std::map<std::string, PCMSources::Source>& decoded, int64_t& room);
    // A clip, with its samples in input.audio or, for a long one, in the source.
    using Placing = std::function<void(const AudioMixer::Input&, const PCMSource*)>;
    // Every track read, cut, isolated, time-scaled and handed to `place` in
    // plan order; with `longBeds`, beds at normal speed come as sources.
    void placeTracks(const AudioPlan& plan, Variant variant, const JobContext& job, const Placing& place,
                     bool longBeds);
    std::pair<PCMSources::Source, double> settledUnderCeiling(PCMSources::Source buffer, double ceilingDb) const;
    std::shared_ptr<GrowingAudioStream> encodedStream(const AudioPlan& plan, Variant variant,
                                                      const std::shared_ptr<Relay>& relay);
    void forget(const std::string& key);
    void writeSegment(const std::vector<uint8_t>& bytes, const std::filesystem::path& outPath) const;

    std::shared_ptr<IsolatedVoices> isolatedVoices_;
    std::filesystem::path journal_;
    std::shared_ptr<SourceLibrary> library_;
    std::string engineVersion_;
    std::atomic<int64_t> heldSamples_{defaultHeldSamples};

    mutable std::mutex lock_;
    std::vector<Entry> streams_;
    std::vector<std::shared_ptr<Encoder>> encoders_;
};

} // namespace korvel
