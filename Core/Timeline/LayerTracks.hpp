#pragma once

#include <cstdint>
#include <map>
#include <optional>

namespace korvel {

// Which composition track carries which moving picture of a render, keyed by
// indexes into the resolved timeline's segments and overlays. Stills, text,
// colour steps, fills other than a video and flashes take no track.
struct LayerTracks {
    std::map<int64_t, int32_t> clips;
    std::map<int64_t, int32_t> tails;       // by the incoming segment
    std::map<int64_t, int32_t> masks;
    std::map<int64_t, int32_t> maskTails;   // by the incoming segment
    std::map<int64_t, int32_t> overlays;
    std::map<int64_t, int32_t> overlayMasks;
    std::optional<int32_t> backgroundFill;

    bool operator==(const LayerTracks&) const = default;
};

} // namespace korvel
