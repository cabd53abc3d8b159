#include "Adapters/Audio/IsolatedVoices.hpp"

#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/AudioFileWriter.hpp"
#include "Adapters/MediaFailure.hpp"
#include "Core/Analysis/Fingerprint.hpp"

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace korvel {

IsolatedVoices::IsolatedVoices(std::shared_ptr<VoiceIsolating> isolator, const fs::path& cacheRoot,
                               std::shared_ptr<SourceLibrary> library, std::string engineVersion)
    : isolator_(std::move(isolator)), folder_(cacheRoot / "analysis" / "isolation"), journal_(cacheRoot / "journal"),
      library_(std::move(library)), engineVersion_(std::move(engineVersion)) {}

fs::path IsolatedVoices::file(const EngineSource& source) const {
    return folder_ / (Fingerprint::of({"isolation", source.contentHash, engineVersion_}) + ".wav");
}

PCMAudio IsolatedVoices::voice(const EngineSource& source, const JobContext& job) {
    const fs::path cached = file(source);
    struct stat st {};
    if (::stat(cached.c_str(), &st) == 0) {
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
        throw MediaFailure::writing(std::current_exception(), cached.filename().string(), cached.parent_path(),
                                    MediaFailure::volumeCapacity);
    }
    return voice;
}

} // namespace korvel
