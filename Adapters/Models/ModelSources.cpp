#include "Adapters/Models/ModelSources.hpp"

namespace korvel {

std::optional<std::string> KorvelAPIModelSource::url(const ModelEntry& entry) const {
    // The id is one more path component, whether or not the base ends in a slash.
    std::string address = base;
    if (!address.empty() && address.back() == '/') address.pop_back();
    return address + "/" + entry.id;
}

std::optional<std::string> DirectModelSource::url(const ModelEntry& entry) const {
    if (auto found = urls.find(entry.id); found != urls.end()) return found->second;
    return std::nullopt;
}

} // namespace korvel
