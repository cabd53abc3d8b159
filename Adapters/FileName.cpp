#include "Adapters/FileName.hpp"

namespace korvel {

std::string nameOf(const std::filesystem::path& location) {
    std::filesystem::path p = location;
    while (!p.empty() && p.filename().empty() && p.has_parent_path() && p != p.parent_path()) p = p.parent_path();
    return p.filename().string();
}

} // namespace korvel
