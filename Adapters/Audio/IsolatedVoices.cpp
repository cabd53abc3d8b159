#include "Adapters/Audio/IsolatedVoices.hpp"

#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/AudioFileWriter.hpp"
#include "Adapters/Audio/ScratchPCM.hpp"
#include "Adapters/Files/CacheFile.hpp"
#include "Adapters/Files/EngineCaches.hpp"
#include "Core/Analysis/Fingerprint.hpp"

namespace fs = std::filesystem;

namespace korvel {

IsolatedVoices::IsolatedVoices(std::shared_ptr<VoiceIsolating> isolator, const fs::path& cacheRoot,
                               std::shared_ptr<SourceLibrary> library, std::string engineVersion)
    : isolator_(std::move(isolator)), folder_(EngineCaches{cacheRoot}.isolation()),
      journal_(EngineCaches{cacheRoot}.journal()),
      library_(std::move(library)), engineVersion_(std::move(engineVersion)) {}

fs::path IsolatedVoices::file(const EngineSource& source) const {
    return folder_ / (Fingerprint::of({"isolation", source.contentHash, engineVersion_}) + ".wav");
}

PCMAudio IsolatedVoices::voice(const EngineSource& source, const JobContext& job) {
    const fs::path cached = file(source);
    // Only a regular file of ours is decoded: a FIFO put there would hold the
    // decoder for good, a link to a device would feed it without end.
    if (CacheFile::regularSize(cached)) {
        try {
            return AudioDecoder::read(cached, 1, JobContext::silent());
        } catch (const Cancelled&) {
            throw;
        } catch (...) {
            // A damaged cache file would fail every later mix: drop it and
            // isolate again.
            std::error_code ec;
            fs::remove(cached, ec);
        }
    }
    library_->verify(source);
    PCMAudio sound = AudioDecoder::read(fs::path(source.path), 1, JobContext::silent());
    if (!isolator_) throw EngineFailure::internalError("Voice isolation is not available.");
    IsolatedVoice isolated = isolator_->isolate(sound.channels.empty() ? std::vector<float>() : sound.channels[0], 1.0, job);
    sound = PCMAudio();
    PCMAudio voice = PCMAudio::mono(std::move(isolated.samples));
    try {
        // Through the journal, so a crash mid-write leaves nothing a sweep
        // would not remove.
        AudioFileWriter::writeWav(voice, cached, journal_);
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        // A full or unwritable cache costs the next request another
        // isolation, not this one the voice it has already made.
    }
    return voice;
}

PCMSources::Source IsolatedVoices::voiceSource(const EngineSource& source, const JobContext& job, int64_t room,
                                               int64_t& held) {
    const fs::path cached = file(source);
    if (CacheFile::regularSize(cached)) {
        // The scratch copy's own failures (a full disk) are not the cache
        // file's: they pass on, and the file stays.
        bool copying = false;
        try {
            // Copied, not read in place: a later isolation may replace the file.
            ScratchPCM::Spool spool(1, room);
            AudioDecoder::stream(cached, 1, JobContext::silent(), [&](const std::vector<std::span<const float>>& piece) {
                copying = true;
                spool.append(piece);
                copying = false;
            });
            copying = true;
            held = spool.heldSamples();
            return spool.finish();
        } catch (const Cancelled&) {
            throw;
        } catch (...) {
            if (copying) throw;
            std::error_code ec;
            fs::remove(cached, ec);
        }
    }
    PCMAudio made = voice(source, job);
    ScratchPCM::Spool spool(1, room);
    if (!made.channels.empty()) {
        std::vector<std::span<const float>> piece{made.channels[0]};
        spool.append(piece);
    }
    made = PCMAudio();
    held = spool.heldSamples();
    return spool.finish();
}

} // namespace korvel
