#pragma once

#include <cstdint>
#include <map>
#include <optional>

namespace korvel {

// Which composition track carries which moving picture. Keys index the
// resolved timeline's segments or overlays; stills, text, colour steps,
// flat fills and flashes have no track.
struct LayerTracks {
    std::map<int64_t, int32_t> clips;
    std::map<int64_t, int32_t> tails;     // by incoming segment
    std::map<int64_t, int32_t> masks;
    std::map<int64_t, int32_t> maskTails; // by incoming segment
    std::map<int64_t, int32_t> overlays;
    std::map<int64_t, int32_t> overlayMasks;
    std::optional<int32_t> backgroundFill;

    bool operator==(const LayerTracks&) const = default;
};

} // namespace korvel
