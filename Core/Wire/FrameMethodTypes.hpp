#pragma once

// Params and result of render.frame.

#include "Core/Wire/Contract.hpp"
#include "Core/Wire/EngineSource.hpp"
#include "Core/Plan/RenderPlan.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace korvel {

// maxLongEdge below 1 is refused on reading: no picture fits it.
struct FrameParams {
    RenderPlan plan;
    std::optional<std::map<std::string, EngineSource>> sources;
    std::optional<std::map<std::string, MatteRef>> mattes;
    RenderVariant variant = RenderVariant::after;
    int64_t atUs = 0;
    int64_t maxLongEdge = 0;
    std::string outPath;

    bool operator==(const FrameParams&) const = default;
    static FrameParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct FrameResult {
    std::string path;
    int64_t width = 0;
    int64_t height = 0;
    int64_t ptsUs = 0;

    bool operator==(const FrameResult&) const = default;
    static FrameResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
