#include "Adapters/Models/ModelStore.hpp"

#include "Adapters/Concurrency/BlockingExecutor.hpp"
#include "Adapters/Files/CacheFile.hpp"
#include "Adapters/Files/FileDigest.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/ClientText.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view modelsName = "The speech models";

// A staging folder is held by an open, locked descriptor of the folder
// itself: a later fetch removes only folders nobody holds.
class StagingLock {
public:
    explicit StagingLock(const fs::path& folder) {
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~StagingLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    StagingLock(const StagingLock&) = delete;
    StagingLock& operator=(const StagingLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

void syncPath(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) throw SystemError::posix(errno, "open " + path.string());
    const int status = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (status != 0) throw SystemError::posix(error, "sync " + path.string());
}

// Every file and folder of an installed item on the disk, before its marker.
void syncTree(const fs::path& item) {
    if (fs::is_directory(fs::symlink_status(item))) {
        for (const auto& e : fs::recursive_directory_iterator(item)) {
            const auto status = e.symlink_status();
            if (fs::is_regular_file(status) || fs::is_directory(status)) syncPath(e.path());
        }
    }
    syncPath(item);
}

// The marker goes in by temporary file and rename, so it is whole or absent.
void writeMarker(const fs::path& folder, const std::string& sha256) {
    const fs::path marker = folder / std::string(ModelStore::markerName);
    const fs::path temporary = folder / ("." + std::string(ModelStore::markerName) + "-" + makeUUID());
    {
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) throw SystemError::posix(errno, "open " + temporary.string());
        size_t off = 0;
        while (off < sha256.size()) {
            const ssize_t n = ::write(fd, sha256.data() + off, sha256.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                const int error = errno;
                ::close(fd);
                throw SystemError::posix(error, "write " + temporary.string());
            }
            off += static_cast<size_t>(n);
        }
        const int status = ::fsync(fd);
        const int error = errno;
        ::close(fd);
        if (status != 0) throw SystemError::posix(error, "sync " + temporary.string());
    }
    fs::rename(temporary, marker);
    syncPath(folder);
}

bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

} // namespace

bool ModelStore::Status::ready() const {
    for (const Model& m : models)
        if (!m.installed) return false;
    return true;
}

std::shared_ptr<ModelStore> ModelStore::make(fs::path root, std::vector<ModelEntry> catalog,
                                             std::shared_ptr<const ModelSource> source, Settings settings) {
    return std::shared_ptr<ModelStore>(new ModelStore(std::move(root), std::move(catalog), std::move(source), std::move(settings)));
}

ModelStore::ModelStore(fs::path root, std::vector<ModelEntry> catalog, std::shared_ptr<const ModelSource> source,
                       Settings settings)
    : root(std::move(root)), catalog(std::move(catalog)), source(std::move(source)), settings_(std::move(settings)) {}

bool ModelStore::isStagingName(std::string_view name) {
    if (!name.starts_with(stagingPrefix)) return false;
    const std::string_view uuid = name.substr(stagingPrefix.size());
    if (uuid.size() != 36) return false;
    for (size_t i = 0; i < uuid.size(); ++i) {
        const char c = uuid[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

void ModelStore::sweepStaging(const fs::path& root) noexcept {
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path path = it->path();
        if (!isStagingName(path.filename().string())) continue;
        if (!fs::is_directory(fs::symlink_status(path, ec)) || ec) continue;
        StagingLock lock(path);
        if (!lock.held()) continue; // a live install, here or in another process
        std::error_code removing;
        fs::remove_all(path, removing);
    }
}

std::optional<fs::path> ModelStore::installedURL(const ModelEntry& entry) const {
    if (!isPlainName(entry.id) || !isPlainName(entry.fileName)) return std::nullopt;
    const fs::path folder = root / entry.id;
    const auto content = CacheFile::read(folder / std::string(markerName), static_cast<int64_t>(entry.sha256.size()));
    if (!content || *content != entry.sha256) return std::nullopt;
    const fs::path file = folder / entry.fileName;
    std::error_code ec;
    const auto status = fs::symlink_status(file, ec);
    if (ec || !fs::exists(status)) return std::nullopt;
    if (entry.archive == ModelEntry::Archive::zip) return file;
    const auto size = fs::is_regular_file(status) ? static_cast<int64_t>(fs::file_size(file, ec)) : -1;
    if (ec || size != entry.byteLength) return std::nullopt;
    return file;
}

void ModelStore::setAside(const ModelEntry& entry) noexcept {
    if (!isPlainName(entry.id)) return;
    ::unlink((root / entry.id / std::string(markerName)).c_str());
}

ModelStore::Status ModelStore::status() const {
    Status status;
    for (const ModelEntry& entry : catalog) {
        status.models.push_back(
            {entry.id, installedURL(entry).has_value(), source->url(entry).has_value(), entry.byteLength, entry.license});
    }
    std::lock_guard g(lock_);
    status.lastError = lastError_;
    return status;
}

std::vector<ModelEntry> ModelStore::selected(const std::optional<std::vector<std::string>>& ids) const {
    if (!ids) return catalog;
    std::vector<ModelEntry> entries;
    for (const std::string& id : *ids) {
        auto found = std::find_if(catalog.begin(), catalog.end(), [&](const ModelEntry& e) { return e.id == id; });
        if (found == catalog.end()) throw EngineFailure::invalidParams("Unknown model: " + ClientText::quoted(id) + ".");
        entries.push_back(*found);
    }
    return entries;
}

void ModelStore::startInstallingIfNeeded() {
    std::lock_guard g(lock_);
    if (background_) return;
    std::vector<std::string> ids;
    for (const ModelEntry& entry : catalog)
        if (!installedURL(entry) && source->url(entry)) ids.push_back(entry.id);
    if (ids.empty()) return;
    lastError_.reset();
    auto background = std::make_shared<Background>();
    background_ = background;
    std::weak_ptr<ModelStore> weak = weak_from_this();
    BlockingExecutor::shared().enqueue(BlockingExecutor::currentPriority(), [weak, background, ids] {
        Task::Scope scope(background->stop.get_token());
        if (auto self = weak.lock()) self->runBackground(ids, background);
    });
}

void ModelStore::runBackground(const std::vector<std::string>& ids, const std::shared_ptr<Background>& background) {
    std::optional<std::string> error;
    try {
        fetchMissing(ids, JobContext::silent());
    } catch (const Cancelled&) {
    } catch (const EngineFailure& failure) {
        error = failure.message;
    } catch (const std::exception& other) {
        error = other.what();
    } catch (...) {
        error = "The speech models could not be installed.";
    }
    std::lock_guard g(lock_);
    if (error) lastError_ = error;
    if (background_ == background) background_.reset();
    changed_.notify_all();
}

void ModelStore::waitForBackground() {
    std::unique_lock l(lock_);
    changed_.wait(l, [&] { return !background_; });
}

void ModelStore::install(const std::optional<std::vector<std::string>>& ids, const JobContext& job) {
    {
        std::unique_lock l(lock_);
        if (background_) {
            background_->stop.request_stop();
            if (!changed_.wait(l, Task::currentToken(), [&] { return !background_; })) throw Cancelled();
        }
        lastError_.reset();
    }
    try {
        fetchMissing(ids, job);
    } catch (const EngineFailure& failure) {
        std::lock_guard g(lock_);
        lastError_ = failure.message;
        throw;
    }
}

void ModelStore::fetchMissing(const std::optional<std::vector<std::string>>& ids, const JobContext& job) {
    const std::vector<ModelEntry> entries = selected(ids);
    // One install at a time: a second one waits, then finds what the first installed.
    {
        std::unique_lock l(lock_);
        if (!changed_.wait(l, Task::currentToken(), [&] { return !installing_; })) throw Cancelled();
        installing_ = true;
    }
    struct Turn {
        ModelStore& store;
        ~Turn() {
            std::lock_guard g(store.lock_);
            store.installing_ = false;
            store.changed_.notify_all();
        }
    } turn{*this};

    std::vector<ModelEntry> missing;
    for (const ModelEntry& entry : entries)
        if (!installedURL(entry)) missing.push_back(entry);
    int64_t total = 0;
    for (const ModelEntry& entry : missing) {
        if (__builtin_add_overflow(total, entry.byteLength, &total)) {
            throw EngineFailure::internalError("The speech models are larger than the engine can count.");
        }
    }
    int64_t done = 0;
    std::optional<EngineFailure> kept;
    for (const ModelEntry& entry : missing) {
        // The same id twice, or a model another install just placed: fetched once.
        if (!installedURL(entry)) {
            try {
                const auto url = source->url(entry);
                if (!url) throw EngineFailure::internalError("Nothing serves the model " + entry.id + " yet.");
                fetch(entry, *url, done, total, job);
            } catch (const EngineFailure& failure) {
                if (!kept) kept = failure;
            }
        }
        done += entry.byteLength;
        Task::checkCancellation();
    }
    if (kept) throw *kept;
}

void ModelStore::fetch(const ModelEntry& entry, const std::string& url, int64_t alreadyDone, int64_t total,
                       const JobContext& job) {
    if (!isPlainName(entry.id) || !isPlainName(entry.fileName)) {
        throw EngineFailure::internalError("The model " + entry.id + " has no usable name.");
    }
    const fs::path folder = root / entry.id;
    const fs::path staging = root / (std::string(stagingPrefix) + makeUUID());
    sweepStaging(root);
    {
        std::error_code ec;
        fs::create_directories(staging, ec);
        if (ec) throw MediaFailure::writing(std::make_exception_ptr(std::system_error(ec, "create " + staging.string())),
                                            MediaFailure::Phrase{modelsName}, folder);
    }
    struct Staged {
        fs::path path;
        std::unique_ptr<StagingLock> lock;
        ~Staged() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } staged{staging, std::make_unique<StagingLock>(staging)};

    const ByteReporter reporter{job, alreadyDone, total};
    const fs::path downloaded =
        ModelDownload::download(url, entry.byteLength, entry.id, reporter, staging / "download", settings_.download);
    Task::checkCancellation();
    if (FileDigest::sha256(downloaded) != entry.sha256) {
        throw EngineFailure::internalError("The download of " + entry.id + " failed its checksum.");
    }
    const fs::path unpacked = staging / entry.fileName;
    if (entry.archive == ModelEntry::Archive::zip) {
        ModelArchive::unzip(downloaded, staging, settings_.archive);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(unpacked, ec))) {
            throw EngineFailure::internalError("The archive of " + entry.id + " does not hold " + entry.fileName + ".");
        }
        fs::remove(downloaded);
    } else {
        fs::rename(downloaded, unpacked);
    }
    Task::checkCancellation();

    {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
    fs::create_directories(folder);
    fs::rename(unpacked, folder / entry.fileName);
    syncTree(folder / entry.fileName);
    syncPath(folder);
    syncPath(root);
    writeMarker(folder, entry.sha256);
    int64_t done = 0;
    if (__builtin_add_overflow(alreadyDone, entry.byteLength, &done)) done = total;
    job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::bytes, std::min(total, done), total});
}

} // namespace korvel
