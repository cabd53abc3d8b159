#pragma once

#include "Adapters/Files/FileStamp.hpp"
#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Core/Wire/EngineSource.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvel {

struct CopySource;
struct CopiedAudio;

// The one place that opens, checks and hashes media files. Work is kept per
// file identity (FileStamp), so each file is hashed and opened once per
// process however many requests ask at the same moment; a changed file gets
// a new stamp and is opened again. Failed work is forgotten and retried.
// Each table keeps the files used last, a bounded number: a file re-saved
// all day long gets a new stamp each time.
class SourceLibrary {
public:
    // Opened files hold their sample tables; hashes and answers are small.
    static constexpr size_t keptOpenings = 32;
    static constexpr size_t keptAnswers = 4096;

    // What the library runs once per file; tests replace it to count.
    struct Work {
        std::function<std::string(const std::filesystem::path&)> hash;
        // Opens without the check of the last frame, which checkEnd makes.
        std::function<VideoSource(const std::filesystem::path&)> openVideo;
        std::function<void(const VideoSource&)> checkEnd;
        std::function<std::shared_ptr<const CopySource>(const VideoSource&)> openCopy;
        std::function<bool(const std::filesystem::path&)> hasPicture;

        static Work real();
    };

    SourceLibrary();
    explicit SourceLibrary(Work work);
    SourceLibrary(const SourceLibrary&) = delete;
    SourceLibrary& operator=(const SourceLibrary&) = delete;

    // The process-wide library, made on first use.
    static std::shared_ptr<SourceLibrary> shared();

    // Throws -32001 "<name> is not there anymore." or "<name> is not a file.".
    FileStamp stamp(const std::filesystem::path& location) const;
    // Lowercase hex SHA-256 of the file's bytes.
    std::string contentHash(const std::filesystem::path& location);
    // Throws -32001 "<name> changed since it was imported." when the file's
    // hash is not the one the client holds.
    void verify(const EngineSource& source);
    // The opened and checked video of a file.
    std::shared_ptr<const VideoSource> video(const std::filesystem::path& location);
    // The same before its last frame is checked: the caller checks it with
    // checkEnd before it relies on the whole track.
    std::shared_ptr<const VideoSource> opened(const std::filesystem::path& location);
    // Throws -32002 "<name> is cut short or damaged, so its end can't be
    // read." when the last frame of the opened video does not decode.
    void checkEnd(const VideoSource& video);
    // The stream-copy view of an opened video; null when it can't be copied.
    std::shared_ptr<const CopySource> copySource(const VideoSource& video);
    // Whether the file has a video track. A file that can't be read fails as
    // reading `what` fails (MediaFailure), such as "This audio track".
    bool hasPicture(const std::filesystem::path& location, std::string_view what);
    // The verified source's own AAC for copied audio segments; nothing when
    // it can't be copied or its packets fall short of the duration.
    std::optional<std::pair<std::filesystem::path, std::shared_ptr<const CopiedAudio>>>
    copiedSound(const EngineSource& source, int64_t durationUs);

    // Opened videos kept now (for tests).
    size_t keptVideos();

private:
    template <class T> struct Entry {
        uint64_t id = 0;
        std::shared_future<T> result;
        uint64_t used = 0;
    };
    template <class T> using Table = std::unordered_map<FileStamp, Entry<T>>;

    template <class T>
    T joined(Table<T>& table, size_t kept, const FileStamp& stamp, std::function<T()> work);

    Work work_;
    std::mutex lock_;
    uint64_t nextId_ = 0;
    uint64_t uses_ = 0;
    Table<std::shared_ptr<const VideoSource>> videos_;
    Table<bool> ends_;
    Table<std::shared_ptr<const CopySource>> copies_;
    Table<std::string> hashes_;
    Table<bool> pictures_;
    Table<std::shared_ptr<const CopiedAudio>> sounds_;
};

} // namespace korvel
