#include "Adapters/Files/FileIdentity.hpp"

#include "Core/Jobs.hpp"

#include <climits>
#include <deque>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace korvel {

namespace {

// The kernel's limit on links followed in one lookup.
constexpr int maxLinks = 40;

std::deque<std::string> componentsOf(const fs::path& path) {
    std::deque<std::string> out;
    for (const auto& c : path.relative_path()) out.push_back(c.string());
    return out;
}

// The path resolved the way the kernel and our folder creation would walk
// it: links followed, ".." taken physically, and a missing folder counted as
// one that will be created, so "x/../a" is "a" even while x is missing.
fs::path resolvedPath(const fs::path& location) {
    std::error_code ec;
    fs::path absolute = fs::absolute(location, ec);
    if (ec) absolute = location;
    fs::path at("/");
    std::deque<std::string> pending = componentsOf(absolute);
    int links = 0;
    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            at = at.parent_path();
            continue;
        }
        fs::path next = at / name;
        struct stat st {};
        if (::lstat(next.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && links < maxLinks) {
            ++links;
            std::string target(PATH_MAX, '\0');
            ssize_t n = ::readlink(next.c_str(), target.data(), target.size());
            if (n > 0 && static_cast<size_t>(n) < target.size()) {
                target.resize(static_cast<size_t>(n));
                fs::path link(target);
                if (link.is_absolute()) at = "/";
                auto more = componentsOf(link);
                pending.insert(pending.begin(), more.begin(), more.end());
                continue;
            }
        }
        at = std::move(next);
    }
    return at;
}

} // namespace

FileIdentity FileIdentity::of(const fs::path& location) {
    FileIdentity identity;
    // The system would read such a path only up to the NUL: it names nothing.
    if (location.native().find('\0') != std::string::npos) {
        identity.resolved = location.native();
        return identity;
    }
    struct stat st {};
    if (::stat(location.c_str(), &st) == 0) {
        identity.device = static_cast<uint64_t>(st.st_dev);
        identity.inode = static_cast<uint64_t>(st.st_ino);
        return identity;
    }
    const fs::path path = resolvedPath(location);
    if (::stat(path.c_str(), &st) == 0) {
        identity.device = static_cast<uint64_t>(st.st_dev);
        identity.inode = static_cast<uint64_t>(st.st_ino);
        return identity;
    }
    identity.resolved = path.string();
    return identity;
}

void FileIdentity::refuseOverwriting(const fs::path& output, std::span<const fs::path> inputs,
                                     std::string_view sentence) {
    const FileIdentity written = of(output);
    for (const auto& input : inputs) {
        if (of(input) == written) throw EngineFailure::invalidParams(std::string(sentence));
    }
}

} // namespace korvel
