#pragma once

#include <cstdint>
#include <optional>

namespace korvel {

// Threads for one decoder or encoder of a render. A render alone keeps the
// library's own choice (every core); renders running together share the
// cores, as each codec thread holds pictures of its own.
namespace CodecThreads {
// What tells a library to choose for itself.
inline constexpr int libraryChoice = 0;
// `running` counts this render among the others; `least` is the floor of a
// share. `frames`, when known, is the most frames the decoder brings out:
// frame threads beyond them would only hold pictures.
int count(int cores, int running, int least, std::optional<int64_t> frames = std::nullopt);
} // namespace CodecThreads

} // namespace korvel
