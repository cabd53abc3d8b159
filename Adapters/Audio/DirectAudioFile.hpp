#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace korvel {

// The cheap route for AAC files with one plain edit and even packets: the
// decoder converts straight to the asked rate, and gives up as soon as the
// file does not behave as planned, so that the general route takes over.
namespace DirectAudioFile {
struct Plan {
    int64_t durationUs = 0;
    int64_t lengthFrames = 0; // at the file's own rate
    int64_t fileRate = 0;
    int64_t readChannels = 0;
    bool operator==(const Plan&) const = default;
};

// Nothing when the file does not qualify; never throws.
std::optional<Plan> plan(const std::filesystem::path& url, int sampleRate, int channels);
// The frames the plan's length comes to at `sampleRate`.
int64_t expectedFrames(const Plan& plan, int sampleRate);
// The decoded planar samples held to the plan's length, or nothing when
// their count shows the file did not behave as planned.
std::optional<std::vector<std::vector<float>>> held(const Plan& plan, int sampleRate,
                                                    std::vector<std::vector<float>> samples);
} // namespace DirectAudioFile

} // namespace korvel
