#include "Adapters/Media/MediaFailure.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Server/Stderr.hpp"
#include "Adapters/Media/SystemError.hpp"

#include <cerrno>
#include <system_error>
#include <sys/statvfs.h>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

namespace korvel::MediaFailure {

namespace {
constexpr size_t maxChain = 8;

bool isPosix(const ChainEntry& e, std::initializer_list<int> codes) {
    if (e.domain != SystemError::posixDomain) return false;
    for (int c : codes)
        if (e.code == c) return true;
    return false;
}

bool any(const std::vector<ChainEntry>& chain, std::initializer_list<int> codes) {
    for (const auto& e : chain)
        if (isPosix(e, codes)) return true;
    return false;
}

bool isEngineFailure(const std::exception_ptr& error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const EngineFailure&) {
        return true;
    } catch (...) {
        return false;
    }
}

EngineFailure engineFailure(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const EngineFailure& f) {
        return f;
    }
}

// The first user-perceived character lowered, the rest as it is.
std::string lowercasingFirst(std::string_view text) {
    if (text.empty()) return {};
    auto unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    int32_t end = 1;
    if (U_SUCCESS(status)) {
        it->setText(unicode);
        it->first();
        end = it->next();
        if (end == icu::BreakIterator::DONE) end = unicode.length();
    }
    icu::UnicodeString first(unicode, 0, end);
    first.toLower(icu::Locale::getRoot());
    std::string out;
    first.toUTF8String(out);
    icu::UnicodeString(unicode, end).toUTF8String(out);
    return out;
}
} // namespace

std::vector<ChainEntry> chain(const std::exception_ptr& error) {
    std::vector<ChainEntry> entries;
    if (!error) return entries;
    try {
        std::rethrow_exception(error);
    } catch (const SystemError& e) {
        for (const SystemError* p = &e; p && entries.size() < maxChain; p = p->underlying.get()) {
            entries.push_back({p->domain, p->code});
        }
    } catch (const std::system_error& e) {
        const auto& category = e.code().category();
        bool posix = category == std::generic_category() || category == std::system_category();
        entries.push_back({posix ? std::string(SystemError::posixDomain) : std::string(category.name()), e.code().value()});
    } catch (const std::exception& e) {
        entries.push_back({std::string("Error(") + e.what() + ")", 0});
    } catch (...) {
        entries.push_back({"Error", 0});
    }
    return entries;
}

void log(const std::vector<ChainEntry>& entries, std::string_view doing) {
    std::string line = "korvel-engine: could not ";
    line += doing;
    line += ": ";
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i) line += " < ";
        line += entries[i].domain + " " + std::to_string(entries[i].code);
    }
    line += "\n";
    Stderr::write(line);
}

std::optional<int64_t> volumeCapacity(const std::filesystem::path& location) {
    std::filesystem::path probe = location;
    std::error_code ec;
    while (!std::filesystem::exists(probe, ec) && std::distance(probe.begin(), probe.end()) >= 2) {
        probe = probe.parent_path();
    }
    struct statvfs st {};
    if (::statvfs(probe.c_str(), &st) != 0) return std::nullopt;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

namespace {
// `opening` names the output where it begins a sentence, `inside` where it
// follows other words.
EngineFailure worded(const std::exception_ptr& error, const std::string& opening, const std::string& inside,
                     const std::optional<std::filesystem::path>& at, const FreeSpace& available) {
    if (isEngineFailure(error)) return engineFailure(error);
    auto entries = chain(error);
    log(entries, "write");
    bool lowSpace = false;
    if (at) {
        auto free = available ? available(*at) : volumeCapacity(*at);
        lowSpace = free && *free < lowSpaceBytes;
    }
    if (any(entries, {ENOSPC, EDQUOT}) || lowSpace) {
        return EngineFailure::diskFull("There isn't enough room on the disk for " + inside + ".");
    }
    if (any(entries, {EROFS, EACCES, EPERM})) {
        return EngineFailure::writeFailed(opening + " can't be saved there, because that place can't be written to.");
    }
    return EngineFailure::writeFailed(opening + " could not be written.");
}
} // namespace

EngineFailure writing(const std::exception_ptr& error, std::string_view name,
                      const std::optional<std::filesystem::path>& at, const FreeSpace& available) {
    const std::string n(name);
    return worded(error, n, n, at, available);
}

EngineFailure writing(const std::exception_ptr& error, Phrase subject,
                      const std::optional<std::filesystem::path>& at, const FreeSpace& available) {
    return worded(error, std::string(subject.text), lowercasingFirst(subject.text), at, available);
}

EngineFailure reading(const std::exception_ptr& error, std::string_view what) {
    if (isEngineFailure(error)) return engineFailure(error);
    auto entries = chain(error);
    log(entries, "read");
    // ENXIO: a device that went away, such as an unplugged drive.
    if (any(entries, {ENOENT, ENXIO, ENOTDIR})) {
        return EngineFailure::sourceUnavailable(std::string(what) + " is not there anymore.");
    }
    return damaged(what);
}

EngineFailure damaged(std::string_view what) {
    return EngineFailure::unsupportedFormat("Part of " + lowercasingFirst(what) + " can't be read. The file may be damaged.");
}

EngineFailure cutShort(const std::filesystem::path& url) {
    return EngineFailure::unsupportedFormat(nameOf(url) + " is cut short or damaged, so its end can't be read.");
}

} // namespace korvel::MediaFailure
