#pragma once

#include "Adapters/Concurrency/AsyncGate.hpp"

#include <cstdint>
#include <optional>

namespace korvel {

// The process-wide bounds on rendering: rendered preview windows and
// exports share one gate, single frames have their own.
namespace RenderGates {
inline constexpr int limit = 4;
AsyncGate& renders();
AsyncGate& frames();
// Renders holding a slot of either gate now, whose decoders and encoders
// share the cores.
int running();
// Threads for one decoder or encoder opened now (see CodecThreads).
int codecThreads(int least, std::optional<int64_t> frames = std::nullopt);
} // namespace RenderGates

} // namespace korvel
