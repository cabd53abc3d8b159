#pragma once

// Params and result of render.live.

#include "Core/Wire/Contract.hpp"
#include "Core/Wire/EngineSource.hpp"
#include "Core/Plan/RenderPlan.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace korvel {

// A maxLongEdge that is given must be at least 1.
struct LiveParams {
    RenderPlan plan;
    std::optional<std::map<std::string, EngineSource>> sources;
    std::optional<std::map<std::string, MatteRef>> mattes;
    std::optional<std::string> audioPath;
    std::optional<int64_t> maxLongEdge;
    std::optional<bool> sound;

    bool operator==(const LiveParams&) const = default;
    static LiveParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct LiveResult {
    std::string id;
    int64_t durationUs = 0;
    int64_t frameCount = 0;
    int64_t width = 0;
    int64_t height = 0;
    std::string structure;

    bool operator==(const LiveResult&) const = default;
    static LiveResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
