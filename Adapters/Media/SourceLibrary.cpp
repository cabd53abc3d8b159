#include "Adapters/Media/SourceLibrary.hpp"

#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Files/FileDigest.hpp"
#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Render/Sources/CopiedAudioReader.hpp"
#include "Adapters/Render/Sources/CopySource.hpp"
#include "Adapters/Media/MediaAsset.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "Core/ClientText.hpp"

#include <algorithm>

namespace korvel {

SourceLibrary::Work SourceLibrary::Work::real() {
    Work w;
    w.hash = [](const std::filesystem::path& url) {
        // A hash of bytes that were never on disk together would be cached
        // for good; a file that keeps changing while read is refused.
        auto digest = blockingWork([&](StopFlag&) { return FileDigest::sha256IfSteady(url); });
        if (!digest) throw EngineFailure::sourceUnavailable(nameOf(url) + " changed since it was imported.");
        return *digest;
    };
    w.openVideo = [](const std::filesystem::path& url) { return VideoOpener::open(url, false); };
    w.checkEnd = [](const VideoSource& video) { VideoOpener::checkEnd(video); };
    w.openCopy = [](const VideoSource& video) -> std::shared_ptr<const CopySource> {
        auto copy = CopySourceReader::open(video);
        if (!copy) return nullptr;
        return std::make_shared<const CopySource>(std::move(*copy));
    };
    w.hasPicture = [](const std::filesystem::path& url) {
        auto asset = MediaAsset::open(url, MediaAsset::Containers::decodable);
        return !asset->tracks(MediaAsset::MediaType::video).empty();
    };
    return w;
}

SourceLibrary::SourceLibrary() : SourceLibrary(Work::real()) {}
SourceLibrary::SourceLibrary(Work work) : work_(std::move(work)) {}

std::shared_ptr<SourceLibrary> SourceLibrary::shared() {
    static auto library = std::make_shared<SourceLibrary>();
    return library;
}

FileStamp SourceLibrary::stamp(const std::filesystem::path& location) const {
    auto stamp = FileStamp::of(location);
    if (!stamp) throw EngineFailure::sourceUnavailable(nameOf(location) + " is not there anymore.");
    if (!stamp->isRegularFile) throw EngineFailure::sourceUnavailable(nameOf(location) + " is not a file.");
    return *stamp;
}

// The shared-work pattern: the first caller for a stamp stores the work's
// future before it starts, so later callers join it. The work runs without
// cancellation: a waiting caller that is cancelled still waits, and the
// result is kept for later callers.
template <class T>
T SourceLibrary::joined(Table<T>& table, size_t kept, const FileStamp& stamp, std::function<T()> work) {
    std::shared_future<T> result;
    uint64_t id = 0;
    std::shared_ptr<std::promise<T>> promise;
    {
        std::lock_guard g(lock_);
        auto it = table.find(stamp);
        if (it != table.end()) {
            result = it->second.result;
            it->second.used = ++uses_;
        } else {
            promise = std::make_shared<std::promise<T>>();
            result = promise->get_future().share();
            id = ++nextId_;
            // The least recently used goes; whoever waits for it holds its result.
            if (table.size() >= kept) {
                auto oldest = std::min_element(table.begin(), table.end(),
                                               [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
                table.erase(oldest);
            }
            table[stamp] = Entry<T>{id, result, ++uses_};
        }
    }
    if (promise) {
        // The creator would only wait for the work, so it runs it itself:
        // a bounded executor could otherwise be full of waiting creators.
        Task::Scope free(std::stop_token{});
        try {
            promise->set_value(work());
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    }
    try {
        return result.get();
    } catch (...) {
        if (!promise) throw;
        {
            std::lock_guard g(lock_);
            auto it = table.find(stamp);
            if (it != table.end() && it->second.id == id) table.erase(it);
        }
        throw;
    }
}

std::string SourceLibrary::contentHash(const std::filesystem::path& location) {
    FileStamp s = stamp(location);
    auto hash = work_.hash;
    try {
        return joined<std::string>(hashes_, keptAnswers, s, [hash, location] { return hash(location); });
    } catch (const EngineFailure&) {
        throw; // the work's own sentence, such as a file changing while read
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        // Every caller, joined or not: the system's own text is no sentence.
        throw EngineFailure::sourceUnavailable(nameOf(location) + " can't be read.");
    }
}

void SourceLibrary::verify(const EngineSource& source) {
    std::filesystem::path location(source.path);
    if (contentHash(location) != source.contentHash) {
        throw EngineFailure::sourceUnavailable(nameOf(location) + " changed since it was imported.");
    }
}

std::shared_ptr<const VideoSource> SourceLibrary::video(const std::filesystem::path& location) {
    auto video = opened(location);
    checkEnd(*video);
    return video;
}

std::shared_ptr<const VideoSource> SourceLibrary::opened(const std::filesystem::path& location) {
    FileStamp s = stamp(location);
    auto open = work_.openVideo;
    return joined<std::shared_ptr<const VideoSource>>(
        videos_, keptOpenings, s, [open, location] { return std::make_shared<const VideoSource>(open(location)); });
}

void SourceLibrary::checkEnd(const VideoSource& video) {
    if (!work_.checkEnd) return;
    // The creator runs the work in this call, while `video` lives.
    joined<bool>(ends_, keptOpenings, stamp(video.url), [this, &video] {
        work_.checkEnd(video);
        return true;
    });
}

std::shared_ptr<const CopySource> SourceLibrary::copySource(const VideoSource& video) {
    FileStamp s = stamp(video.url);
    auto open = work_.openCopy;
    auto source = std::make_shared<const VideoSource>(video);
    return joined<std::shared_ptr<const CopySource>>(
        copies_, keptOpenings, s,
        [open, source]() -> std::shared_ptr<const CopySource> {
            try {
                return open(*source);
            } catch (...) {
                return nullptr; // any reason not to copy is an absent copy
            }
        });
}

bool SourceLibrary::hasPicture(const std::filesystem::path& location, std::string_view what) {
    FileStamp s = stamp(location);
    auto has = work_.hasPicture;
    try {
        return joined<bool>(pictures_, keptAnswers, s, [has, location] { return has(location); });
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        throw MediaAsset::openFailure(std::current_exception(), location, what);
    }
}

std::optional<std::pair<std::filesystem::path, std::shared_ptr<const CopiedAudio>>>
SourceLibrary::copiedSound(const EngineSource& source, int64_t durationUs) {
    verify(source);
    const std::filesystem::path location(source.path);
    auto audio = joined<std::shared_ptr<const CopiedAudio>>(
        sounds_, keptOpenings, stamp(location), [location] { return CopiedAudioReader::open(location); });
    if (!audio || !audio->covers(durationUs)) return std::nullopt;
    return std::make_pair(location, audio);
}

size_t SourceLibrary::keptVideos() {
    std::lock_guard g(lock_);
    return videos_.size();
}

} // namespace korvel
