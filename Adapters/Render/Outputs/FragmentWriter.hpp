#pragma once

#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Render/Drawing/CompositionBuilder.hpp"
#include "Adapters/Render/Drawing/GraphRunner.hpp"

#include <cstdint>
#include <vector>

namespace korvel {

// A preview window drawn and encoded into one self-contained fragmented MP4
// in memory, laid out like the windows copied from sources.
namespace FragmentWriter {
// Scaled by area from 16 Mbit/s at 1620 × 912, kept within 2 to 16 Mbit/s.
int64_t bitrate(RenderSize size);
VideoEncoding encoding(RenderSize size, const FrameGrid& grid);

// Throws Cancelled, -32003 "The preview encoder gave nothing." and the
// runner's failures; nothing partial leaves.
std::vector<uint8_t> render(const BuiltComposition& built, FrameRange frames, RenderSize size, StopFlag& stop,
                            const GraphRunner::Progress& progress);
} // namespace FragmentWriter

} // namespace korvel
