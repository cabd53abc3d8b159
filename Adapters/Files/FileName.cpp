#include "Adapters/Files/FileName.hpp"

#include "Core/ClientText.hpp"

namespace korvel {

std::string nameOf(const std::filesystem::path& location) {
    std::filesystem::path p = location;
    while (!p.empty() && p.filename().empty() && p.has_parent_path() && p != p.parent_path()) p = p.parent_path();
    return ClientText::quoted(p.filename().string());
}

} // namespace korvel
