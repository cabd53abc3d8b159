#include "Adapters/Render/Drawing/Grain.hpp"


#include <algorithm>
#include <cmath>

namespace korvel {

int64_t Grain::sourceUs(int64_t frame) const {
    if (auto ref = timeline_.sourceFrame(frame); ref && ref->timescale > 0) {
        return static_cast<int64_t>(std::llround(static_cast<double>(ref->ptsTicks) * 1000000.0 / ref->timescale));
    }
    return timeline_.grid.us(frame);
}

std::shared_ptr<const std::vector<float>> Grain::tile(int64_t seed) const {
    {
        std::lock_guard guard(lock_);
        if (auto found = tiles_.find(seed); found != tiles_.end()) return found->second;
    }
    auto values = GrainGrid::tile(seed);
    auto levels = std::make_shared<std::vector<float>>(values.size());
    for (size_t i = 0; i < values.size(); ++i) (*levels)[i] = static_cast<float>(GrainGrid::byteOf(values[i])) / 255.0f;
    std::lock_guard guard(lock_);
    if (!tiles_.count(seed)) {
        order_.push_back(seed);
        if (order_.size() > maxTiles) {
            tiles_.erase(order_.front());
            order_.pop_front();
        }
    }
    tiles_[seed] = levels;
    return levels;
}

size_t Grain::cachedTiles() const {
    std::lock_guard guard(lock_);
    return tiles_.size();
}

std::unique_ptr<GrainStep> Grain::step(double strength, int64_t seed, int64_t frame) const {
    GrainOffset offset = GrainGrid::offset(seed, sourceUs(frame));
    double k = static_cast<double>(std::max(canvas_.size.width, canvas_.size.height)) / GrainGrid::cellsOnLongEdge;
    return std::make_unique<GrainStep>(tile(seed), offset, k, std::isfinite(strength) ? strength : 0.0,
                                       canvas_.pixelHeight());
}

} // namespace korvel
