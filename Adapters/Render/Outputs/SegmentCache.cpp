#include "Adapters/Render/Outputs/SegmentCache.hpp"

#include "Adapters/Files/CacheFile.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Files/WholeFile.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/JSONValue.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace korvel {

namespace {

constexpr std::string_view previewName = "The preview";

// A temporary file beside the target, renamed over it: readers see the old
// file or the whole new one.
void writeAtomically(const fs::path& target, std::span<const uint8_t> bytes) {
    fs::path temp = target.parent_path() / ("." + target.filename().string() + "." + makeUUID() + ".tmp");
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw SystemError::posix(errno, "create " + temp.string());
    try {
        WholeFile::write(fd, bytes, temp);
        if (::close(fd) != 0) {
            fd = -1;
            throw SystemError::posix(errno, "close " + temp.string());
        }
        fd = -1;
        if (::rename(temp.c_str(), target.c_str()) != 0) throw SystemError::posix(errno, "replace " + target.string());
    } catch (...) {
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
}

std::optional<SegmentCache::Entry> decodeEntry(const std::string& text) {
    JSONValue value;
    try {
        value = JSONValue::parsing(text);
    } catch (const JSONParseError&) {
        return std::nullopt;
    }
    auto integer = [&](std::string_view key) -> std::optional<int64_t> {
        const JSONValue* v = value.member(key);
        return v ? v->intValue() : std::nullopt;
    };
    const JSONValue* fingerprint = value.member("fingerprint");
    auto byteLength = integer("byteLength"), frameCount = integer("frameCount");
    auto durationUs = integer("durationUs"), firstPtsUs = integer("firstPtsUs");
    if (!fingerprint || !fingerprint->isString() || !byteLength || !frameCount || !durationUs || !firstPtsUs)
        return std::nullopt;
    return SegmentCache::Entry{*fingerprint->stringValue(), *byteLength, *frameCount, *durationUs, *firstPtsUs};
}

// A plain encoder's record: fields in their own order, slashes escaped.
std::string encodeEntry(const SegmentCache::Entry& e) {
    std::string fingerprint;
    appendJSONString(fingerprint, e.fingerprint);
    std::string text = "{\"fingerprint\":";
    for (char c : fingerprint) {
        if (c == '/') text += "\\/";
        else text.push_back(c);
    }
    text += ",\"byteLength\":" + std::to_string(e.byteLength);
    text += ",\"frameCount\":" + std::to_string(e.frameCount);
    text += ",\"durationUs\":" + std::to_string(e.durationUs);
    text += ",\"firstPtsUs\":" + std::to_string(e.firstPtsUs) + "}";
    return text;
}

void copyFile(const fs::path& from, const fs::path& to) {
    // Only the regular file the entry was checked against, never a link or FIFO put there since.
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) throw SystemError::posix(errno, "open " + from.string());
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        throw SystemError::posix(EINVAL, "open " + from.string());
    }
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        int e = errno;
        ::close(in);
        throw SystemError::posix(e, "create " + to.string());
    }
    try {
        std::vector<uint8_t> buffer(1 << 20);
        for (;;) {
            ssize_t n = ::read(in, buffer.data(), buffer.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                throw SystemError::posix(errno, "read " + from.string());
            }
            if (n == 0) break;
            WholeFile::write(out, {buffer.data(), static_cast<size_t>(n)}, to);
        }
        ::close(in);
        in = -1;
        int status = ::close(out);
        out = -1;
        if (status != 0) throw SystemError::posix(errno, "close " + to.string());
    } catch (...) {
        if (in >= 0) ::close(in);
        if (out >= 0) ::close(out);
        throw;
    }
}

} // namespace

EngineFailure SegmentCache::notAKey() {
    return EngineFailure::invalidParams("The segment key must be 64 lowercase hexadecimal characters.");
}

bool SegmentCache::isKey(std::string_view key) {
    if (key.size() != 64) return false;
    for (char c : key)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::optional<SegmentCache::Entry> SegmentCache::entry(std::string_view key, std::string_view fingerprint) const {
    if (!isKey(key)) return std::nullopt;
    std::string name(key);
    auto text = CacheFile::read(folder_ / (name + ".json"));
    if (!text) return std::nullopt;
    auto found = decodeEntry(*text);
    if (!found || found->fingerprint != fingerprint) return std::nullopt;
    const auto size = CacheFile::regularSize(folder_ / (name + ".m4s"));
    if (size != found->byteLength) return std::nullopt;
    return found;
}

void SegmentCache::deliver(std::string_view key, const fs::path& to) const {
    if (!isKey(key)) throw notAKey();
    TempOutput output(to, std::nullopt);
    try {
        copyFile(folder_ / (std::string(key) + ".m4s"), output.url());
    } catch (...) {
        auto error = std::current_exception();
        output.discard();
        throw MediaFailure::writing(error, MediaFailure::Phrase{previewName});
    }
    output.commit();
}

void SegmentCache::store(std::span<const uint8_t> bytes, std::string_view key, const Entry& entry) const {
    if (!isKey(key)) throw notAKey();
    std::string name(key);
    try {
        std::error_code ec;
        fs::create_directories(folder_, ec);
        if (ec) throw std::system_error(ec, "create " + folder_.string());
        writeAtomically(folder_ / (name + ".m4s"), bytes);
        std::string record = encodeEntry(entry);
        writeAtomically(folder_ / (name + ".json"),
                        std::span(reinterpret_cast<const uint8_t*>(record.data()), record.size()));
    } catch (...) {
        throw MediaFailure::writing(std::current_exception(), MediaFailure::Phrase{previewName});
    }
}

} // namespace korvel
