#include "Core/CodecThreads.hpp"

#include <algorithm>

namespace korvel {

int CodecThreads::count(int cores, int running, int least, std::optional<int64_t> frames) {
    cores = std::max(1, cores);
    const auto needed = [&](int threads) {
        return frames ? static_cast<int>(std::clamp<int64_t>(*frames, 1, threads)) : threads;
    };
    if (running <= 1) return frames && *frames < cores ? needed(cores) : libraryChoice;
    return needed(std::max({1, least, cores / running}));
}

} // namespace korvel
