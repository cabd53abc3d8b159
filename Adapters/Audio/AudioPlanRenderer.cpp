#include "Adapters/Audio/AudioPlanRenderer.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Audio/AACStreamEncoder.hpp"
#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/AudioFileWriter.hpp"
#include "Adapters/Render/Sources/CopiedAudioReader.hpp"
#include "Adapters/Audio/EncodedPeak.hpp"
#include "Adapters/Audio/ScratchPCM.hpp"
#include "Adapters/Concurrency/BlockingExecutor.hpp"
#include "Adapters/Files/FileIdentity.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Files/WholeFile.hpp"
#include "Adapters/Files/EngineCaches.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/Analysis/Fingerprint.hpp"
#include "Core/Container/AudioFragmentWriter.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/Synth/SoundRecipes.hpp"
#include "Core/Audio/TimeScale.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "Core/Audio/TruePeakLimiter.hpp"
#include "Core/ClientText.hpp"

#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace korvel {

namespace {

// Cut-but-unplaced sound waits in batches of at most this many frames.
constexpr int64_t batchFrames = int64_t(1) << 23;
constexpr auto waitStep = std::chrono::milliseconds(20);

struct CutPiece {
    AudioTrack track;
    PCMAudio audio;
    bool isBefore = false;
};

// Only the cut range is read: a source shared by many tracks is never
// copied whole.
PCMAudio slice(const PCMSource& audio, int64_t from, int64_t to) {
    const int64_t n = audio.frameCount();
    from = std::clamp<int64_t>(from, 0, n);
    to = std::clamp<int64_t>(to, from, n);
    return audio.chunk(from, to - from);
}

// A sound made for one track alone is cut in place.
PCMAudio slice(PCMAudio&& audio, int64_t from, int64_t to) {
    const int64_t n = audio.frameCount();
    from = std::clamp<int64_t>(from, 0, n);
    to = std::clamp<int64_t>(to, from, n);
    for (auto& c : audio.channels) {
        c.resize(static_cast<size_t>(to));
        c.erase(c.begin(), c.begin() + from);
    }
    return std::move(audio);
}

using AudioMixer::blend;

// The piece time-scaled and fitted to its place on the timeline; the out
// range is clamped to the mix, and what falls outside it is dropped.
AudioMixer::Input finished(CutPiece piece, int64_t durationFrames) {
    const AudioTrack& t = piece.track;
    PCMAudio audio = std::move(piece.audio);
    if (t.speed != 1.0) {
        audio = audio.mapChannels([&](const std::vector<float>& c) { return TimeScale::stretch(c, t.speed); });
    }
    const int64_t outStart = PCMAudio::frames(t.outStartUs);
    const int64_t outEnd = std::min(PCMAudio::frames(t.outEndUs), durationFrames);
    const int64_t n = std::max<int64_t>(0, outEnd - outStart);
    for (auto& c : audio.channels) c.resize(static_cast<size_t>(n), 0.0f);
    int64_t placedAt = outStart;
    if (outStart < 0) {
        const int64_t cut = std::min(-outStart, n);
        for (auto& c : audio.channels) c.erase(c.begin(), c.begin() + cut);
        placedAt = 0;
    }
    AudioMixer::Input input;
    input.role = t.role;
    input.audio = std::move(audio);
    input.outStartFrame = placedAt;
    if (!piece.isBefore) input.gain = t.gain;
    input.fadeEdges = t.role == AudioRole::voice;
    return input;
}

// Whether a track's out range reaches into the mix at all.
bool inside(const AudioTrack& t, int64_t durationFrames) {
    const int64_t outStart = PCMAudio::frames(t.outStartUs);
    const int64_t outEnd = std::min(PCMAudio::frames(t.outEndUs), durationFrames);
    return outEnd > outStart && outEnd > 0 && outStart < durationFrames;
}

std::vector<AudioMixer::Input> finishedBatch(std::vector<CutPiece>& pieces, int64_t durationFrames) {
    std::vector<AudioMixer::Input> out(pieces.size());
    if (pieces.size() == 1) {
        out[0] = finished(std::move(pieces[0]), durationFrames);
    } else if (!pieces.empty()) {
        auto token = Task::currentToken();
        std::vector<std::exception_ptr> errors(pieces.size());
        tbb::parallel_for(size_t(0), pieces.size(), [&](size_t i) {
            Task::Scope scope(token);
            try {
                out[i] = finished(std::move(pieces[i]), durationFrames);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        });
        for (auto& e : errors)
            if (e) std::rethrow_exception(e);
    }
    pieces.clear();
    return out;
}

void refuseSourceAsOutput(const fs::path& outPath, const AudioPlan& plan) {
    std::vector<fs::path> sources;
    for (const auto& [id, source] : plan.sources) sources.emplace_back(source.path);
    FileIdentity::refuseOverwriting(outPath, sources, "outPath must not be one of the plan's sources.");
}

EngineFailure writingFailure(const fs::path& outPath) {
    return MediaFailure::writing(std::current_exception(), nameOf(outPath), outPath.parent_path(),
                                 MediaFailure::volumeCapacity);
}

} // namespace

// Progress of a detached encoder goes to the request that started it only
// while that request is still running.
struct AudioPlanRenderer::Relay {
    std::mutex lock;
    const JobContext* starter = nullptr;

    JobContext context(const std::shared_ptr<Relay>& self) const {
        return JobContext([self](const EngineProgress& p) {
            std::lock_guard g(self->lock);
            if (self->starter) self->starter->report(p);
        });
    }
};

struct AudioPlanRenderer::Encoder {
    std::thread thread;
    std::shared_ptr<GrowingAudioStream> stream;
    std::atomic<bool> done{false};
};

AudioPlanRenderer::AudioPlanRenderer(std::shared_ptr<VoiceIsolating> isolator, const fs::path& cacheRoot,
                                     std::shared_ptr<SourceLibrary> library, std::string engineVersion)
    : isolatedVoices_(std::make_shared<IsolatedVoices>(std::move(isolator), cacheRoot, library, engineVersion)),
      journal_(EngineCaches{cacheRoot}.journal()), library_(std::move(library)), engineVersion_(std::move(engineVersion)) {}

AudioPlanRenderer::~AudioPlanRenderer() {
    std::vector<std::shared_ptr<Encoder>> encoders;
    {
        std::lock_guard g(lock_);
        encoders.swap(encoders_);
    }
    for (auto& e : encoders) e->stream->stop();
    for (auto& e : encoders)
        if (e->thread.joinable()) e->thread.join();
}

std::vector<std::shared_ptr<GrowingAudioStream>> AudioPlanRenderer::streams() const {
    std::lock_guard g(lock_);
    std::vector<std::shared_ptr<GrowingAudioStream>> out;
    for (const auto& e : streams_) out.push_back(e.stream);
    return out;
}

AudioMixer::Result AudioPlanRenderer::mix(const JSONValue& plan, const std::map<std::string, JSONValue>& sources,
                                          RenderVariant variant, const JobContext& job, bool measured, bool levelled) {
    return mix(AudioPlan(plan, sources, engineVersion_), variant, job, measured, levelled);
}

PCMSources::Source AudioPlanRenderer::sourceAudio(const std::string& assetId, AudioRole role, const AudioPlan& plan,
                                                  std::map<std::string, PCMSources::Source>& decoded, int64_t& room) {
    auto it = plan.sources.find(assetId);
    if (it == plan.sources.end()) {
        throw EngineFailure::invalidParams("The plan uses " + ClientText::quoted(assetId) + ", and it is not among the sources.");
    }
    const int channels = role == AudioRole::voice ? 1 : 2;
    const std::string key = it->second.contentHash + ":" + std::to_string(channels);
    if (auto found = decoded.find(key); found != decoded.end()) return found->second;
    library_->verify(it->second);
    ScratchPCM::Spool spool(channels, room);
    AudioDecoder::stream(fs::path(it->second.path), channels, JobContext::silent(),
                         [&](const std::vector<std::span<const float>>& piece) { spool.append(piece); });
    room -= spool.heldSamples();
    return decoded.emplace(key, spool.finish()).first->second;
}

AudioMixer::Result AudioPlanRenderer::mix(const AudioPlan& plan, RenderVariant variant, const JobContext& job,
                                          bool measured, bool levelled) {
    const int64_t durationFrames = PCMAudio::frames(plan.durationUs);
    AudioMixer::Builder builder(durationFrames);
    placeTracks(plan, variant, job, [&](const AudioMixer::Input& input, const PCMSource*) { builder.place(input); },
                false);
    Task::checkCancellation();
    const AudioMixer::Policy policy =
        variant == RenderVariant::after && levelled ? plan.finishedPolicy() : AudioMixer::Policy::none();
    return std::move(builder).finish(policy, measured);
}

AudioMixer::StoredBuilder::Finished AudioPlanRenderer::streamedMix(const AudioPlan& plan, RenderVariant variant,
                                                                   const JobContext& job, bool measured) {
    const int64_t durationFrames = PCMAudio::frames(plan.durationUs);
    AudioMixer::StoredBuilder builder(durationFrames, ScratchPCM::inScratchFolder());
    placeTracks(
        plan, variant, job,
        [&](const AudioMixer::Input& input, const PCMSource* clip) {
            if (clip)
                builder.place(input, *clip);
            else
                builder.place(input);
        },
        true);
    Task::checkCancellation();
    const AudioMixer::Policy policy = variant == RenderVariant::after ? plan.finishedPolicy() : AudioMixer::Policy::none();
    return std::move(builder).finish(policy, measured);
}

void AudioPlanRenderer::placeTracks(const AudioPlan& plan, RenderVariant variant, const JobContext& job,
                                    const Placing& place, bool longBeds) {
    const int64_t durationFrames = PCMAudio::frames(plan.durationUs);
    std::map<std::string, PCMSources::Source> decoded;
    std::map<std::string, PCMSources::Source> isolated;
    int64_t room = heldSamples_.load();
    std::vector<CutPiece> pending;
    int64_t pendingFrames = 0;

    for (const AudioTrack& track : plan.mix.tracks) {
        if (variant == RenderVariant::before && track.role != AudioRole::voice) continue;
        Task::checkCancellation();
        if (!track.generated && !track.assetId) {
            throw EngineFailure::invalidParams("Audio track " + ClientText::quoted(track.id) + " names no source.");
        }
        const int64_t S = PCMAudio::frames(track.srcStartUs);
        const int64_t E = PCMAudio::frames(track.srcEndUs);
        // A track that plays nowhere inside the mix is checked like every
        // other one (its recipe, its source), but never synthesized or scaled.
        if (!inside(track, durationFrames)) {
            if (track.generated) {
                SoundRecipes::check(track.generated->recipe, std::max<int64_t>(0, E));
            } else {
                sourceAudio(*track.assetId, track.role, plan, decoded, room);
            }
            if (variant != RenderVariant::before && track.isolation && track.assetId &&
                !plan.sources.contains(*track.assetId)) {
                throw EngineFailure::invalidParams("The plan uses " + *track.assetId +
                                                   ", and it is not among the sources.");
            }
            continue;
        }
        const bool blended = variant != RenderVariant::before && track.isolation && track.assetId;
        const bool bed = track.generated && SoundRecipes::isBed(track.generated->recipe);
        // The isolated voice of the track's source, fetched once per call.
        auto isolatedVoice = [&]() -> PCMSources::Source {
            auto source = plan.sources.find(*track.assetId);
            if (source == plan.sources.end()) {
                throw EngineFailure::invalidParams("The plan uses " + ClientText::quoted(*track.assetId) +
                                                   ", and it is not among the sources.");
            }
            const std::string& hash = source->second.contentHash;
            auto voice = isolated.find(hash);
            if (voice == isolated.end()) {
                int64_t held = 0;
                voice = isolated.emplace(hash, isolatedVoices_->voiceSource(source->second, job, room, held)).first;
                room -= held;
            }
            return voice->second;
        };
        if (longBeds && track.speed == 1.0 && ((bed && !blended) || !track.generated)) {
            // Read from the bed's chords, or from the decoded source, as it is
            // placed: never cut or made at full length. What waits in the
            // batch is placed first, so the order holds.
            for (auto& input : finishedBatch(pending, durationFrames)) place(input, nullptr);
            pendingFrames = 0;
            const int64_t outStart = PCMAudio::frames(track.outStartUs);
            const int64_t outEnd = std::min(PCMAudio::frames(track.outEndUs), durationFrames);
            const int64_t n = std::max<int64_t>(0, outEnd - outStart);
            const int64_t cut = outStart < 0 ? std::min(-outStart, n) : 0;
            PCMSources::Source clip;
            if (bed) {
                const int64_t bedFrames = std::max<int64_t>(0, E);
                const int64_t from = std::clamp<int64_t>(S, 0, bedFrames);
                clip = SoundRecipes::source(track.generated->recipe, track.generated->seed, bedFrames, from + cut,
                                            n - cut);
            } else {
                PCMSources::Source source = sourceAudio(*track.assetId, track.role, plan, decoded, room);
                const int64_t frames = source->frameCount();
                const int64_t from = std::clamp<int64_t>(S, 0, frames);
                const int64_t to = std::clamp<int64_t>(E, from, frames);
                if (blended) {
                    // Both cuts blended block by block as they are read.
                    PCMSources::Source voice = isolatedVoice();
                    const int64_t voiceFrames = voice->frameCount();
                    const int64_t wetFrom = std::clamp<int64_t>(S, 0, voiceFrames);
                    const int64_t wetTo = std::clamp<int64_t>(E, wetFrom, voiceFrames);
                    const float amount = static_cast<float>(std::clamp(track.isolation->wet, 0.0, 1.0));
                    PCMSources::Source mixed = PCMSources::blended(
                        PCMSources::window(voice, wetFrom, wetTo - wetFrom, voiceFrames),
                        PCMSources::window(source, from, to - from, frames), amount);
                    clip = PCMSources::window(mixed, cut, n - cut, mixed->frameCount());
                } else {
                    // The cut ends at the track's source end; silence pads it to its place.
                    clip = PCMSources::window(source, from + cut, n - cut, to);
                }
            }
            AudioMixer::Input input;
            input.role = track.role;
            input.outStartFrame = outStart < 0 ? 0 : outStart;
            if (variant != RenderVariant::before) input.gain = track.gain;
            input.fadeEdges = track.role == AudioRole::voice;
            place(input, clip.get());
            continue;
        }
        PCMAudio sound;
        if (track.generated) {
            sound = slice(SoundRecipes::render(track.generated->recipe, track.generated->seed, std::max<int64_t>(0, E)),
                          S, E);
        } else {
            sound = slice(*sourceAudio(*track.assetId, track.role, plan, decoded, room), S, E);
        }
        if (blended) {
            const double amount = std::clamp(track.isolation->wet, 0.0, 1.0);
            sound = blend(slice(*isolatedVoice(), S, E), sound, amount);
        }
        CutPiece piece{track, std::move(sound), variant == RenderVariant::before};
        if (track.speed != 1.0 || !pending.empty()) {
            pendingFrames += piece.audio.frameCount();
            pending.push_back(std::move(piece));
            if (pendingFrames >= batchFrames) {
                for (auto& input : finishedBatch(pending, durationFrames)) place(input, nullptr);
                pendingFrames = 0;
            }
        } else {
            place(finished(std::move(piece), durationFrames), nullptr);
        }
    }
    for (auto& input : finishedBatch(pending, durationFrames)) place(input, nullptr);
}

double AudioPlanRenderer::encodedPeak(const PCMAudio& buffer) const { return encodedPeak(*PCMSources::of(buffer)); }

double AudioPlanRenderer::encodedPeak(const PCMSource& buffer) const {
    if (buffer.frameCount() < 1) return TruePeak::silenceDb;
    // Encoded and decoded in memory, in parallel chunks: nothing goes to disk,
    // so a crash leaves no scratch file behind.
    return EncodedPeak::measureDb(buffer, peakCheckBitRate);
}

std::pair<PCMSources::Source, double> AudioPlanRenderer::settledUnderCeiling(PCMSources::Source buffer,
                                                                             double ceilingDb) const {
    double limit = ceilingDb;
    const PCMStores stores = ScratchPCM::inScratchFolder();
    for (int pass = 0;; ++pass) {
        Task::checkCancellation();
        const double peak = buffer->frameCount() >= 1 ? encodedPeak(*buffer) : TruePeak::silenceDb;
        if (peak <= ceilingDb + peakToleranceDb) return {std::move(buffer), peak};
        limit -= peak - ceilingDb;
        buffer = TruePeakLimiter::apply(buffer, limit, stores).buffer;
        if (pass == limiterPasses - 1) return {std::move(buffer), peak};
    }
}

AudioMixResultModel AudioPlanRenderer::finalMix(const JSONValue& planValue,
                                                        const std::map<std::string, JSONValue>& sources,
                                                        const fs::path& outPath, const JobContext& job) {
    const AudioPlan plan(planValue, sources, engineVersion_);
    // Refused before any work: a file that can't be written, or one that
    // would replace a source the mix reads.
    if (!AudioFileWriter::writesLossless(outPath)) {
        std::string ext = outPath.extension().string();
        throw EngineFailure::invalidParams(std::string("outPath must end in ") + AudioFileWriter::losslessExtensions +
                                           ", got " + (ext.empty() ? "no extension" : ext) + ".");
    }
    refuseSourceAsOutput(outPath, plan);

    AudioMixer::StoredBuilder::Finished result = streamedMix(plan, RenderVariant::after, job, true);
    PCMSources::Source buffer;
    double peak = 0;
    // The peak check's failures are its own (an AAC cycle, no file of the
    // client's): they pass on as they are, never as a write failure.
    if (!plan.finishedPolicy().isNone()) {
        std::tie(buffer, peak) = settledUnderCeiling(std::move(result.buffer), plan.mix.truePeakDb);
    } else {
        buffer = std::move(result.buffer);
        peak = encodedPeak(*buffer);
    }
    try {
        Task::checkCancellation();
        AudioFileWriter::writeLossless(*buffer, outPath, journal_);
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        throw writingFailure(outPath);
    }
    struct stat st {};
    const int64_t byteLength = ::stat(outPath.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    const double integratedLufs = Loudness::integrated(*buffer);
    const bool reachedTarget =
        !plan.mix.targetLufs || (result.reached && std::fabs(integratedLufs - *plan.mix.targetLufs) <= 0.2);
    return AudioMixResultModel(outPath.string(), byteLength, plan.durationUs, integratedLufs, peak, reachedTarget);
}

void AudioPlanRenderer::writeSegment(const std::vector<uint8_t>& bytes, const fs::path& outPath) const {
    try {
        TempOutput output(outPath, journal_);
        WholeFile::write(output.url(), bytes);
        output.commit();
    } catch (...) {
        throw writingFailure(outPath);
    }
}

void AudioPlanRenderer::forget(const std::string& key) {
    std::erase_if(streams_, [&](const Entry& e) { return e.key == key; });
}

std::shared_ptr<GrowingAudioStream> AudioPlanRenderer::encodedStream(const AudioPlan& plan, RenderVariant variant,
                                                                     const std::shared_ptr<Relay>& relay) {
    const std::string key = Fingerprint::of({std::string(rawValue(variant)), plan.identity});
    std::lock_guard g(lock_);
    for (const auto& e : streams_)
        if (e.key == key) return e.stream;
    for (const auto& e : streams_)
        if (e.variant == variant && !e.stream->ended()) e.stream->stop();
    std::erase_if(streams_, [&](const Entry& e) { return e.variant == variant && e.stream->stopped(); });
    auto stream = std::make_shared<GrowingAudioStream>();
    const bool full = streams_.size() > maximumStreams - 1;
    streams_.push_back({key, variant, stream});
    if (full) {
        streams_.front().stream->stop();
        streams_.erase(streams_.begin());
    }

    // Encoders that ended are joined here, so their threads never pile up.
    std::erase_if(encoders_, [](const std::shared_ptr<Encoder>& e) {
        if (!e->done.load()) return false;
        if (e->thread.joinable()) e->thread.join();
        return true;
    });
    auto encoder = std::make_shared<Encoder>();
    encoder->stream = stream;
    const bool background = BlockingExecutor::currentPriority() == TaskPriority::background;
    try {
        encoder->thread = std::thread([this, plan, variant, stream, key, background, context = relay->context(relay),
                                       raw = encoder.get()] {
            if (background) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
            // The encoder outlives its starter: its cancellation is the stream's own.
            Task::Scope scope(stream->stopToken());
            try {
                AudioMixer::StoredBuilder::Finished result = streamedMix(plan, variant, context, false);
                AACStreamEncoder::encode(*result.buffer, AACStreamEncoder::previewBitRate, *stream);
            } catch (...) {
                // Forgotten before the failure shows, so a retry that follows
                // the failure starts a fresh stream.
                {
                    std::lock_guard relock(lock_);
                    forget(key);
                }
                stream->fail(std::current_exception());
            }
            raw->done.store(true);
        });
    } catch (...) {
        stream->fail(std::current_exception());
        forget(key);
        throw;
    }
    encoders_.push_back(std::move(encoder));
    return stream;
}

SegmentResult AudioPlanRenderer::segment(const RenderPlan& renderPlan,
                                         const std::map<std::string, EngineSource>& sources, const std::string& key,
                                         RenderVariant variant, int64_t outStartUs, int64_t outEndUs,
                                         const fs::path& outPath, const JobContext& job) {
    const AudioPlan plan(renderPlan, sources, engineVersion_);
    refuseSourceAsOutput(outPath, plan);
    SegmentResult out;
    out.key = key;
    out.path = outPath.string();
    out.firstPtsUs = 0;
    out.durationUs = outEndUs - outStartUs;
    out.cached = false;

    if (auto source = plan.untouchedVoice()) {
        if (auto copied = library_->copiedSound(*source, plan.durationUs)) {
            const auto fragment = copied->second->fragment(outStartUs, outEndUs);
            writeSegment(fragment.bytes, outPath);
            out.byteLength = static_cast<int64_t>(fragment.bytes.size());
            out.frameCount = fragment.packetCount;
            out.copied = true;
            return out;
        }
    }

    const int64_t startFrame = PCMAudio::frames(outStartUs);
    const int64_t endFrame = PCMAudio::frames(outEndUs);
    auto relay = std::make_shared<Relay>();
    relay->starter = &job;
    struct Detach {
        std::shared_ptr<Relay> relay;
        ~Detach() {
            std::lock_guard g(relay->lock);
            relay->starter = nullptr;
        }
    } detach{relay};

    auto stream = encodedStream(plan, variant, relay);
    while (true) {
        if (auto failure = stream->failure()) std::rethrow_exception(failure);
        // The count is read before the shape, so a shape that says complete
        // always comes with every packet.
        const int64_t count = stream->packetCount();
        const EncodedAudioStream shape = stream->shape();
        const int64_t packets = shape.isComplete ? stream->packetCount() : count;
        if (shape.channelCount > 0 &&
            EncodedAudioStream::holds(endFrame, shape.encoderDelayFrames, packets, shape.isComplete)) {
            const auto window = EncodedAudioStream::window(startFrame, endFrame, shape.encoderDelayFrames, packets);
            if (window.empty()) throw EngineFailure::invalidParams("This audio segment lies past the end of the plan.");
            const auto bytes = AudioFragmentWriter::fragment({shape.channelCount, shape.bitRate, 48'000},
                                                             stream->packets(window.firstPacket, window.endPacket),
                                                             window.skipFrames);
            writeSegment(bytes, outPath);
            out.byteLength = static_cast<int64_t>(bytes.size());
            out.frameCount = window.packetCount();
            return out;
        }
        Task::checkCancellation();
        stream->waitForChange(waitStep);
    }
}

} // namespace korvel
