#pragma once

#include "Core/Wire/Contract.hpp"

#include <optional>
#include <string>

namespace korvel {

// A source file as the client names it.
struct EngineSource {
    std::string path;
    std::string contentHash;

    bool operator==(const EngineSource&) const = default;
    static EngineSource decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// A stored mask movie of one asset.
struct MatteRef {
    std::string assetId;
    std::string path;
    std::optional<bool> greenScreen;

    bool operator==(const MatteRef&) const = default;
    static MatteRef decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
