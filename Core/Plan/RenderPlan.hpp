#pragma once

#include "Core/Plan/AudioMix.hpp"
#include "Core/Plan/Canvas.hpp"
#include "Core/Plan/ColorStep.hpp"
#include "Core/Wire/Contract.hpp"
#include "Core/Plan/PlanBackground.hpp"
#include "Core/Plan/Segment.hpp"
#include "Core/Plan/TextEntrance.hpp"
#include "Core/Plan/TextItem.hpp"
#include "Core/Plan/TimeMap.hpp"
#include "Core/Plan/VideoOverlay.hpp"

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
