#include "Adapters/Audio/IsolatedVoices.hpp"

#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/AudioFileWriter.hpp"
#include "Adapters/CacheFile.hpp"
#include "Adapters/Render/EngineCaches.hpp"
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

} // namespace korvel
