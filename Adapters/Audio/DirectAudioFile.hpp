#pragma once

#include "Core/Jobs.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace korvel {

// The cheap route for AAC files with one plain edit and even packets: the
// decode converts straight to the asked rate, and gives up (nothing) as soon
// as the file does not behave as planned, so the caller takes the general
// decoder.
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
// Planar samples, or nothing when the read turns out impossible; throws only Cancelled.
std::optional<std::vector<std::vector<float>>> read(const std::filesystem::path& url, const Plan& plan, int sampleRate,
                                                    int channels, const JobContext& job);
// The same decode handed over piece by piece without keeping it; false when
// it could not start (nothing was handed over). The length is held to what
// the plan presents; a file that ends short ends the sound there.
bool stream(const std::filesystem::path& url, const Plan& plan, int sampleRate, int channels, const JobContext& job,
            const std::function<void(const std::vector<std::span<const float>>&)>& piece);
} // namespace DirectAudioFile

} // namespace korvel
