#pragma once

#include "Core/Speech/ModelCatalog.hpp"

#include <map>
#include <optional>
#include <string>

namespace korvel {

// The model service: <base>/<model id>.
struct KorvelAPIModelSource : ModelSource {
    std::string base;

    explicit KorvelAPIModelSource(std::string base) : base(std::move(base)) {}
    std::optional<std::string> url(const ModelEntry& entry) const override;
};

// Fixed download addresses by model id; nothing for the others.
struct DirectModelSource : ModelSource {
    std::map<std::string, std::string> urls;

    explicit DirectModelSource(std::map<std::string, std::string> urls) : urls(std::move(urls)) {}
    std::optional<std::string> url(const ModelEntry& entry) const override;
};

} // namespace korvel
