#pragma once

#include "Adapters/Audio/AudioPlan.hpp"
#include "Adapters/Audio/GrowingAudioStream.hpp"
#include "Adapters/Audio/IsolatedVoices.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Audio/AudioMixer.hpp"
#include "Core/Audio/VoiceIsolating.hpp"
#include "Core/JSONValue.hpp"
#include "Core/Jobs.hpp"
#include "Core/Wire/SegmentMethodTypes.hpp"
#include "Core/Wire/AudioMixResultModel.hpp"

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

    // `before` mixes the voices alone, without gains or isolation and at
    // their own level; `after` everything, at the plan's level unless
    // `levelled` is false.
    AudioMixer::Result mix(const JSONValue& plan, const std::map<std::string, JSONValue>& sources,
                           RenderVariant variant, const JobContext& job, bool measured, bool levelled = true);
    AudioMixer::Result mix(const AudioPlan& plan, RenderVariant variant, const JobContext& job, bool measured,
                           bool levelled = true);
    // The same mix with its buses and limiter curves in scratch files, read a
    // block at a time: what finalMix and the encoded streams use, so their
    // memory does not grow with the plan's length.
    AudioMixer::StoredBuilder::Finished streamedMix(const AudioPlan& plan, RenderVariant variant,
                                                    const JobContext& job, bool measured);

    AudioMixResultModel finalMix(const JSONValue& plan, const std::map<std::string, JSONValue>& sources,
                                 const std::filesystem::path& outPath, const JobContext& job);
    // The window [outStartUs, outEndUs) of the plan's sound, cut from its
    // encoded stream or copied from an untouched voice; never cached.
    SegmentResult segment(const RenderPlan& plan, const std::map<std::string, EngineSource>& sources,
                          const std::string& key, RenderVariant variant, int64_t outStartUs, int64_t outEndUs,
                          const std::filesystem::path& outPath, const JobContext& job);

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
        RenderVariant variant;
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
    void placeTracks(const AudioPlan& plan, RenderVariant variant, const JobContext& job, const Placing& place,
                     bool longBeds);
    std::pair<PCMSources::Source, double> settledUnderCeiling(PCMSources::Source buffer, double ceilingDb) const;
    std::shared_ptr<GrowingAudioStream> encodedStream(const AudioPlan& plan, RenderVariant variant,
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
