#include "Adapters/Methods/AnalysisCache.hpp"

#include "Adapters/Files/CacheFile.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/Wire/WireNumber.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace korvel {

namespace {
bool memberEquals(const JSONValue& record, std::string_view key, std::string_view expected) {
    const JSONValue* member = record.member(key);
    const std::string* text = member ? member->stringPtr() : nullptr;
    return text && *text == expected;
}

void writeAll(const fs::path& file, const std::string& bytes) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw SystemError::posix(errno, "create " + file.string());
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            throw SystemError::posix(e, "write " + file.string());
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) throw SystemError::posix(errno, "close " + file.string());
}
} // namespace

fs::path AnalysisCache::recordPath(std::string_view fingerprint) const {
    return folder / (std::string(fingerprint) + ".json");
}

std::optional<JSONValue> AnalysisCache::load(std::string_view fingerprint, std::string_view kind,
                                             std::string_view contentHash, std::string_view assetId) const {
    const auto bytes = CacheFile::read(recordPath(fingerprint));
    if (!bytes) return std::nullopt;
    JSONValue record;
    try {
        record = JSONValue::parsing(*bytes);
    } catch (...) {
        return std::nullopt;
    }
    if (!record.isObject()) return std::nullopt;
    if (!memberEquals(record, "fingerprint", fingerprint) || !memberEquals(record, "kind", kind) ||
        !memberEquals(record, "contentHash", contentHash))
        return std::nullopt;
    record.objectPtr()->insert_or_assign("assetId", JSONValue(std::string(assetId)));
    return record;
}

void AnalysisCache::store(std::string_view fingerprint, const JSONValue& record) const noexcept {
    try {
        const std::string bytes = PlainJSON::text(record);
        // A folder we can't write is the common failure; it is dropped
        // silently instead of being logged as a failed output.
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec || ::access(folder.c_str(), W_OK) != 0) return;
        // A FIFO or device put where the record goes is never replaced by an
        // output; it stays a miss, without a failure logged on every store.
        struct stat st {};
        const fs::path final = recordPath(fingerprint);
        if (::lstat(final.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return;
        writeThroughTempOutput(final, journal, bytes);
    } catch (...) {
        // storing never fails a request
    }
}

void writeThroughTempOutput(const fs::path& final, const std::optional<fs::path>& journal, const std::string& bytes) {
    TempOutput output(final, journal);
    writeAll(output.url(), bytes);
    output.commit();
}

} // namespace korvel
