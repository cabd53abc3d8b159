#include "Adapters/Files/FileStamp.hpp"

#include <sys/stat.h>

namespace korvel {

std::optional<FileStamp> FileStamp::of(const std::filesystem::path& location) {
    // stat would stop at a NUL and describe another file.
    if (location.native().find('\0') != std::string::npos) return std::nullopt;
    struct stat st {};
    if (::stat(location.c_str(), &st) != 0) return std::nullopt;
    FileStamp stamp;
    stamp.path = location.string();
    stamp.size = static_cast<int64_t>(st.st_size);
    stamp.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    stamp.isRegularFile = S_ISREG(st.st_mode);
    return stamp;
}

} // namespace korvel

size_t std::hash<korvel::FileStamp>::operator()(const korvel::FileStamp& s) const noexcept {
    size_t h = std::hash<std::string>{}(s.path);
    auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    mix(std::hash<int64_t>{}(s.size));
    mix(std::hash<int64_t>{}(s.modified));
    mix(std::hash<bool>{}(s.isRegularFile));
    return h;
}
