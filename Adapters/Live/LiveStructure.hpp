#pragma once

#include "Adapters/Live/LivePreviewService.hpp"

#include <string>
#include <vector>

namespace korvel {

// Whether two live compositions have the same tracks and segments, so one
// player item can play either with the other's drawing.
namespace LiveStructure {
// The lines the digest is taken over, in order.
std::vector<std::string> lines(const LiveAsset& asset, RenderSize size, const FrameGrid& grid);
std::string of(const LiveAsset& asset, RenderSize size, const FrameGrid& grid);
} // namespace LiveStructure

} // namespace korvel
