#include "Adapters/Models/ModelArchive.hpp"

#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/Jobs.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvel::ModelArchive {

namespace fs = std::filesystem;

namespace {

EngineFailure refused() { return EngineFailure::internalError("The model archive could not be unpacked."); }

struct ReadDeleter {
    void operator()(archive* a) const { archive_read_free(a); }
};

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// The entry's path as components, or nothing when it is not a plain relative path.
std::optional<std::vector<std::string>> components(const char* name) {
    if (!name) return std::nullopt;
    std::string_view path(name);
    if (path.empty() || path.front() == '/') return std::nullopt;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.emplace_back(part);
        start = end + 1;
    }
    if (parts.empty()) return std::nullopt;
    return parts;
}

// Makes (or finds) a real folder, never following a link.
void folder(const fs::path& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return;
    if (errno != EEXIST) {
        throw MediaFailure::writing(std::make_exception_ptr(SystemError::posix(errno, "mkdir " + path.string())),
                                    MediaFailure::Phrase{"The speech models"}, path);
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw refused();
}

} // namespace

void unzip(const fs::path& archivePath, const fs::path& into, const Limits& limits) {
    std::unique_ptr<archive, ReadDeleter> reader(archive_read_new());
    if (!reader) throw refused();
    archive* a = reader.get();
    archive_read_support_format_zip(a);
    if (archive_read_open_filename(a, archivePath.c_str(), 1 << 16) != ARCHIVE_OK) throw refused();

    int64_t entries = 0;
    int64_t bytes = 0;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        Task::checkCancellation();
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(a, &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN) throw refused();
        if (++entries > limits.entries) throw refused();

        const auto parts = components(archive_entry_pathname(entry));
        if (!parts) throw refused();
        const mode_t type = archive_entry_filetype(entry);
        if (archive_entry_hardlink(entry) || archive_entry_symlink(entry)) throw refused();
        if (type != AE_IFREG && type != AE_IFDIR) throw refused();

        fs::path target = into;
        for (size_t i = 0; i + 1 < parts->size(); ++i) {
            target /= (*parts)[i];
            folder(target);
        }
        target /= parts->back();
        if (type == AE_IFDIR) {
            folder(target);
            continue;
        }

        Descriptor out;
        out.fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (out.fd < 0) {
            if (errno == EEXIST) throw refused(); // a second entry of the same name
            throw MediaFailure::writing(std::make_exception_ptr(SystemError::posix(errno, "open " + target.string())),
                                        MediaFailure::Phrase{"The speech models"}, target);
        }
        for (;;) {
            const la_ssize_t n = archive_read_data(a, buffer.data(), buffer.size());
            if (n == 0) break;
            if (n < 0) throw refused();
            bytes += n;
            if (bytes > limits.bytes) throw refused();
            for (la_ssize_t off = 0; off < n;) {
                const ssize_t w = ::write(out.fd, buffer.data() + off, static_cast<size_t>(n - off));
                if (w < 0) {
                    if (errno == EINTR) continue;
                    throw MediaFailure::writing(
                        std::make_exception_ptr(SystemError::posix(errno, "write " + target.string())), MediaFailure::Phrase{"The speech models"},
                        target);
                }
                off += w;
            }
        }
    }
}

} // namespace korvel::ModelArchive
