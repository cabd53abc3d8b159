#include "Adapters/Files/ProcessTempFile.hpp"

#include "Adapters/Files/TempOutput.hpp"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace korvel::ProcessTempFile {

namespace {

std::optional<int> positiveInt32(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) return std::nullopt;
    }
    if (negative) value = -value;
    if (value <= 0 || value > 2147483647LL) return std::nullopt;
    return static_cast<int>(value);
}

bool isUUID(std::string_view text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return false;
        } else if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace

fs::path url(std::string_view name, std::string_view pathExtension, const fs::path& folder) {
    std::string file(prefix);
    file += std::to_string(::getpid());
    file += "-";
    file += name;
    file += "-";
    file += makeUUID();
    file += ".";
    file += pathExtension;
    return folder / file;
}

fs::path defaultFolder() {
    if (const char* dir = std::getenv(folderVariable)) return fs::path(dir);
    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    return ec ? fs::path("/tmp") : tmp;
}

std::optional<int> owner(std::string_view name) {
    if (name.find('\0') != std::string_view::npos || name.size() < prefix.size()) return std::nullopt;
    if (auto dot = name.rfind('.'); dot != std::string_view::npos) name = name.substr(0, dot);
    if (name.size() < prefix.size()) return std::nullopt;
    std::string_view rest = name.substr(prefix.size());
    // At most two splits at "-". An empty piece means no owner: a name like
    // "korvel-engine--5-..." must never be read as process 5.
    std::vector<std::string_view> pieces;
    for (int split = 0; split < 2; ++split) {
        const size_t cut = rest.find('-');
        if (cut == std::string_view::npos) break;
        pieces.push_back(rest.substr(0, cut));
        rest = rest.substr(cut + 1);
    }
    pieces.push_back(rest);
    for (auto p : pieces)
        if (p.empty()) return std::nullopt;
    if (pieces.size() != 3) return std::nullopt;
    auto pid = positiveInt32(pieces[0]);
    if (!pid || !isUUID(pieces[2])) return std::nullopt;
    return pid;
}

void sweep(const fs::path& folder) noexcept {
    try {
        std::error_code ec;
        fs::directory_iterator it(folder, ec), end;
        if (ec) return;
        for (; it != end; it.increment(ec)) {
            if (ec) return;
            const std::string name = it->path().filename().string();
            if (name.rfind(prefix, 0) != 0) continue;
            const auto pid = owner(name);
            if (!pid) continue;
            if (::kill(*pid, 0) == 0 || errno == EPERM) continue;
            const fs::path entry = folder / name;
            struct stat st {};
            if (::lstat(entry.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            ::unlink(entry.c_str());
        }
    } catch (...) {
    }
}

Scoped::~Scoped() {
    std::error_code ec;
    fs::remove(path_, ec);
}

} // namespace korvel::ProcessTempFile
