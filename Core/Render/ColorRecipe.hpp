#pragma once

#include "Core/Render/FrameExportLiveTypes.hpp"

#include <string>

namespace korvel {

// The dynamic range of one render and the tags its output carries.
struct ColorRecipe {
    DynamicRange dynamicRange = DynamicRange::sdr;

    bool hdr() const { return dynamicRange == DynamicRange::keepHdr; }
    std::string primaries() const { return hdr() ? "bt2020" : "bt709"; }
    std::string transfer() const { return hdr() ? "arib-std-b67" : "bt709"; }
    std::string matrix() const { return hdr() ? "bt2020nc" : "bt709"; }

    bool operator==(const ColorRecipe&) const = default;
};

} // namespace korvel
