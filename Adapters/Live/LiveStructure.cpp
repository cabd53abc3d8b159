#include "Adapters/Live/LiveStructure.hpp"

#include "Core/Analysis/Fingerprint.hpp"

namespace korvel {

namespace LiveStructure {

namespace {
std::string time(int64_t value, int32_t timescale) { return std::to_string(value) + "/" + std::to_string(timescale); }
} // namespace

std::vector<std::string> lines(const LiveAsset& asset, RenderSize size, const FrameGrid& grid) {
    std::vector<std::string> out;
    out.push_back(std::to_string(size.width) + "x" + std::to_string(size.height));
    out.push_back(std::to_string(grid.ticksPerFrame) + "/" + std::to_string(grid.timescale));
    const int32_t ts = grid.timescale;
    int32_t lastId = 0;
    if (asset.built) {
        const BuiltComposition& built = *asset.built;
        for (const auto& track : built.composition.tracks) {
            lastId = std::max(lastId, track.trackId);
            out.push_back("track " + std::to_string(track.trackId) + " vide");
            for (const auto& edit : track.edits) {
                const std::string at = " at " + time(edit.outStart, ts) + " for " + time(edit.outDuration, ts);
                if (!edit.source) {
                    out.push_back("nothing" + at);
                    continue;
                }
                std::string path;
                int64_t sourceTrack = 0;
                if (auto it = built.videos.find(*edit.source); it != built.videos.end() && it->second) {
                    path = it->second->url.string();
                    if (it->second->track) sourceTrack = it->second->track->movie.trackId;
                }
                out.push_back(path + " track " + std::to_string(sourceTrack) + " from " +
                              time(edit.sourceStart, edit.sourceTimescale) + " for " +
                              time(edit.sourceDuration, edit.sourceTimescale) + at);
            }
        }
    }
    if (asset.sound) {
        const LiveSoundTrack& s = *asset.sound;
        out.push_back("track " + std::to_string(lastId + 1) + " soun");
        out.push_back(s.asset.string() + " track " + std::to_string(s.track) + " from " +
                      time(s.start.value, s.start.timescale) + " for " + time(s.duration.value, s.duration.timescale) +
                      " at " + time(s.start.value, s.start.timescale) + " for " +
                      time(s.duration.value, s.duration.timescale));
    }
    return out;
}

std::string of(const LiveAsset& asset, RenderSize size, const FrameGrid& grid) {
    auto parts = lines(asset, size, grid);
    return Fingerprint::of(parts);
}

} // namespace LiveStructure
} // namespace korvel
