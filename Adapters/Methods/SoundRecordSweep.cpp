#include "Adapters/Methods/SoundRecordSweep.hpp"

#include "Core/JSONValue.hpp"
#include "Core/Wire/AnalysisKind.hpp"

#include <array>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvel::SoundRecordSweep {

namespace {

constexpr std::array<AnalysisKind, 3> soundKinds{AnalysisKind::silences, AnalysisKind::waveform, AnalysisKind::loudness};
// Sound records are a few hundred kilobytes at most; a bigger file is no record of ours.
constexpr off_t largestRecord = 64 << 20;
constexpr size_t fingerprintLength = 64;

// "<64 lowercase hex digits>.json", exactly.
bool recordName(std::string_view name) {
    if (name.size() != fingerprintLength + 5 || name.substr(fingerprintLength) != ".json") return false;
    for (char c : name.substr(0, fingerprintLength))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

struct Descriptor {
    int fd = -1;
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The bytes of a plain file in the folder, read without following a link;
// nothing for anything else.
std::optional<std::string> plainFile(int folder, const std::string& name, struct stat& seen) {
    if (::fstatat(folder, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode)) return std::nullopt;
    if (seen.st_size > largestRecord) return std::nullopt;
    Descriptor file(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (file.fd < 0 || ::fstat(file.fd, &opened) != 0 || !S_ISREG(opened.st_mode) || !sameFile(seen, opened))
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
        if (static_cast<off_t>(bytes.size()) > largestRecord) return std::nullopt;
    }
    return bytes;
}

// A record of a sound kind under its own name.
bool soundRecord(const std::string& bytes, std::string_view fingerprint) {
    JSONValue record;
    try {
        record = JSONValue::parsing(bytes);
    } catch (...) {
        return false;
    }
    if (!record.isObject()) return false;
    const JSONValue* own = record.member("fingerprint");
    const JSONValue* kind = record.member("kind");
    const std::string* ownText = own ? own->stringPtr() : nullptr;
    const std::string* kindText = kind ? kind->stringPtr() : nullptr;
    if (!ownText || *ownText != fingerprint || !kindText) return false;
    for (AnalysisKind k : soundKinds)
        if (*kindText == rawValue(k)) return true;
    return false;
}

// The names in the folder that look like records; nothing when it can't be listed.
std::optional<std::vector<std::string>> recordNames(int folder) {
    const int listing = ::dup(folder);
    if (listing < 0) return std::nullopt;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
        ::close(listing);
        return std::nullopt;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (recordName(entry->d_name)) names.emplace_back(entry->d_name);
        errno = 0;
    }
    const bool complete = errno == 0;
    ::closedir(dir);
    if (!complete) return std::nullopt;
    return names;
}

void leaveStamp(int folder) {
    Descriptor stamp(::openat(folder, std::string(stampName).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (stamp.fd < 0) return;
    // Only its presence counts; the words are for whoever looks.
    constexpr std::string_view text = "Sound records of earlier builds were removed here; they are measured again.\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(stamp.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::fsync(stamp.fd);
}

} // namespace

void once(const std::filesystem::path& analysisFolder) noexcept {
    try {
        std::error_code ec;
        std::filesystem::create_directories(analysisFolder, ec);
        Descriptor folder(::open(analysisFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.fd < 0) return;
        struct stat existing {};
        // Whatever stands under the stamp's name counts as the stamp.
        if (::fstatat(folder.fd, std::string(stampName).c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
            return;
        const auto names = recordNames(folder.fd);
        if (!names) return;
        bool swept = true;
        for (const std::string& name : *names) {
            struct stat seen {};
            const auto bytes = plainFile(folder.fd, name, seen);
            if (!bytes || !soundRecord(*bytes, std::string_view(name).substr(0, fingerprintLength))) continue;
            // Removed only while the name still holds the file that was read.
            struct stat now {};
            if (::fstatat(folder.fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(seen, now)) {
                swept = false;
                continue;
            }
            if (::unlinkat(folder.fd, name.c_str(), 0) != 0 && errno != ENOENT) swept = false;
        }
        if (swept) leaveStamp(folder.fd);
    } catch (...) {
        // The next start tries again.
    }
}

} // namespace korvel::SoundRecordSweep
