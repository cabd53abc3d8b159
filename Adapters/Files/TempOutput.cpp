#include "Adapters/Files/TempOutput.hpp"

#include "Adapters/Files/CacheFile.hpp"
#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Adapters/Files/WholeFile.hpp"
#include "Core/JSONValue.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

namespace fs = std::filesystem;

namespace korvel {

namespace {

// Outputs of this process that are still being written. The sweep treats an
// entry with our own pid as a dead namesake's, unless it is listed here: a
// second engine assembled in this process must not delete live outputs.
struct LiveOutputs {
    std::mutex lock;
    std::set<std::string> uuids;
    static LiveOutputs& shared() {
        static auto* live = new LiveOutputs; // outlives job threads at exit
        return *live;
    }
    void insert(const std::string& u) {
        std::lock_guard g(lock);
        uuids.insert(u);
    }
    void erase(const std::string& u) {
        std::lock_guard g(lock);
        uuids.erase(u);
    }
    bool contains(const std::string& u) {
        std::lock_guard g(lock);
        return uuids.count(u) > 0;
    }
};

bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Every system call stops at a NUL: removing such a path would remove the
// truncated one, some other folder.
void removeQuietly(const fs::path& p, bool recursive) {
    if (holdsNul(p.native())) return;
    std::error_code ec;
    if (recursive) fs::remove_all(p, ec);
    else fs::remove(p, ec);
}

// A device, FIFO or socket at the final path is never replaced by an output.
// (A folder there makes the rename itself fail.)
bool replaceable(const fs::path& final) {
    struct stat st {};
    if (::lstat(final.c_str(), &st) != 0) return true; // nothing there, or creation words the error
    return !(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

} // namespace

std::string makeUUID() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_upper(id, text);
    return text;
}

TempOutput::TempOutput(const fs::path& final, const std::optional<fs::path>& journal) : final_(final) {
    uuid_ = makeUUID();
    const std::string name = final.filename().string();
    if (holdsNul(final.native()) || (journal && holdsNul(journal->native())) || !replaceable(final)) {
        throw EngineFailure::writeFailed(nameOf(final) + " could not be written.");
    }
    folder_ = final.parent_path() / (name + std::string(partialMarker) + uuid_);
    url_ = folder_ / name;
    bool madeFolder = false;
    try {
        std::error_code ec;
        fs::create_directories(folder_, ec);
        if (ec) throw std::system_error(ec, "create " + folder_.string());
        madeFolder = true;
        if (journal) {
            fs::create_directories(*journal, ec);
            if (ec) throw std::system_error(ec, "create " + journal->string());
            JSONValue::Object entry{{"path", JSONValue(fs::absolute(folder_).string())},
                                    {"pid", JSONValue(static_cast<int64_t>(::getpid()))}};
            fs::path entryFile = *journal / (uuid_ + ".json");
            LiveOutputs::shared().insert(uuid_);
            const std::string text = JSONValue(std::move(entry)).plain();
            WholeFile::write(entryFile, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
            journalEntry_ = entryFile;
        }
    } catch (...) {
        // Leave nothing behind when a later step fails.
        LiveOutputs::shared().erase(uuid_);
        if (journal) removeQuietly(*journal / (uuid_ + ".json"), false);
        if (madeFolder) removeQuietly(folder_, true);
        throw MediaFailure::writing(std::current_exception(), name, final);
    }
    open_ = true;
}

TempOutput::TempOutput(TempOutput&& other) noexcept
    : url_(std::move(other.url_)), folder_(std::move(other.folder_)), final_(std::move(other.final_)),
      journalEntry_(std::move(other.journalEntry_)), uuid_(std::move(other.uuid_)), open_(other.open_) {
    other.open_ = false;
}

TempOutput::~TempOutput() {
    if (open_) discard();
}

void TempOutput::commit() {
    if (!replaceable(final_)) {
        discard();
        throw EngineFailure::writeFailed(nameOf(final_) + " could not be written.");
    }
    if (::rename(url_.c_str(), final_.c_str()) != 0) {
        auto error = std::make_exception_ptr(SystemError::posix(errno, "replace " + final_.string()));
        discard();
        throw MediaFailure::writing(error, nameOf(final_), final_);
    }
    // Folder first: a crash in between leaves an entry, never an orphan folder.
    removeQuietly(folder_, true);
    if (journalEntry_) removeQuietly(*journalEntry_, false);
    LiveOutputs::shared().erase(uuid_);
    open_ = false;
}

void TempOutput::discard() noexcept {
    removeQuietly(folder_, true);
    if (journalEntry_) removeQuietly(*journalEntry_, false);
    LiveOutputs::shared().erase(uuid_);
    open_ = false;
}

bool TempOutput::isFolderWritten(std::string_view entryName, std::string_view path) {
    std::string stem(entryName);
    if (auto dot = stem.rfind('.'); dot != std::string::npos) stem.resize(dot);
    uuid_t parsed;
    if (stem.size() != 36 || uuid_parse(stem.c_str(), parsed) != 0) return false;
    if (path.empty() || path.front() != '/' || holdsNul(path)) return false;
    std::string suffix = std::string(partialMarker) + stem;
    if (path.size() < suffix.size() || path.substr(path.size() - suffix.size()) != suffix) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        std::string_view part = path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part == "." || part == "..") return false;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    struct stat st {};
    if (::lstat(std::string(path).c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode);
}

void TempOutput::sweep(const fs::path& journal) noexcept {
    try {
        std::error_code ec;
        fs::directory_iterator it(journal, ec);
        if (ec) return;
        const pid_t self = ::getpid();
        for (const auto& item : it) {
            const std::string name = item.path().filename().string();
            if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
            std::optional<std::string> path;
            std::optional<int64_t> pid;
            try {
                // A FIFO or a link to a device here must not hold the engine's start.
                const std::string bytes = CacheFile::read(item.path(), 1 << 20).value_or(std::string());
                auto entry = JSONValue::parsing(bytes);
                if (const auto* p = entry.member("path")) path = p->stringValue();
                if (const auto* p = entry.member("pid")) pid = p->intValue();
            } catch (...) {
            }
            if (!path || !pid || *pid < INT32_MIN || *pid > INT32_MAX) {
                removeQuietly(item.path(), false);
                continue;
            }
            std::string stem = name.substr(0, name.size() - 5);
            bool gone;
            if (*pid <= 0) {
                gone = true; // no engine ever had such an id; signal 0 would reach a group
            } else if (*pid == self) {
                gone = !LiveOutputs::shared().contains(stem);
            } else {
                gone = ::kill(static_cast<pid_t>(*pid), 0) != 0 && errno != EPERM;
            }
            if (!gone) continue;
            if (isFolderWritten(name, *path)) removeQuietly(*path, true);
            removeQuietly(item.path(), false);
        }
    } catch (...) {
        // The sweep is best effort and must never stop the engine.
    }
}

} // namespace korvel
