#pragma once

#include "Adapters/Concurrency/AsyncGate.hpp"

namespace korvel {

// The process-wide bounds on rendering: rendered preview windows and
// exports share one gate, single frames have their own.
namespace RenderGates {
inline constexpr int limit = 4;
AsyncGate& renders();
AsyncGate& frames();
} // namespace RenderGates

} // namespace korvel
