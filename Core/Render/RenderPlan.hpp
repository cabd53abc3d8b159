#pragma once

#include "Core/Render/AudioMix.hpp"
#include "Core/Render/Canvas.hpp"
#include "Core/Render/ColorStep.hpp"
#include "Core/Render/Contract.hpp"
#include "Core/Render/PlanBackground.hpp"
#include "Core/Render/Segment.hpp"
#include "Core/Render/TextEntrance.hpp"
#include "Core/Render/TextItem.hpp"
#include "Core/Render/TimeMap.hpp"
#include "Core/Render/VideoOverlay.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// `after` is the plan as edited; `before` the plain cut.
enum class RenderVariant { before, after };

template <> struct EnumNames<RenderVariant> {
    static constexpr std::string_view typeName = "RenderVariant";
    static constexpr std::array<std::string_view, 2> names{"before", "after"};
};

// The timeline document every render request carries. A passive value:
// reading checks its shape, the parts that use it check the rest.
struct RenderPlan {
    int64_t version = 0;
    Canvas canvas;
    std::vector<Segment> segments;
    std::vector<VideoOverlay> videoOverlays;
    std::vector<TextItem> textItems;
    std::vector<ColorStep> colorStack;
    Nullable<PlanBackground> background;
    AudioMix audioMix;
    TimeMap timeMap;
    int64_t durationUs = 0;
    std::optional<std::map<std::string, TextEntrance>> textEntrances;
    std::optional<std::map<std::string, std::string>> assetContent;

    // The plan to render for a variant. `before` keeps the cut, its timing,
    // sound and content hashes, and drops everything drawn over, on or
    // behind it: one neutral keyframe per segment, no transitions.
    RenderPlan resolved(RenderVariant variant) const;

    bool operator==(const RenderPlan&) const = default;
    static RenderPlan decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
