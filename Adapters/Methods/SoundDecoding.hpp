#pragma once

#include "Core/Audio/PCMAudio.hpp"
#include "Core/Jobs.hpp"
#include "Core/Wire/EngineSource.hpp"

#include <filesystem>
#include <functional>
#include <span>
#include <vector>

namespace korvel {

// The sound the analysis side reads from sources, as 48 kHz float. Tests
// hand in their own to count decodes.
struct SoundDecoding {
    // Planar pieces of the file's sound with exactly that many channels, in order.
    using Piece = std::function<void(const std::vector<std::span<const float>>& channels)>;
    std::function<void(const std::filesystem::path&, int channels, const JobContext&, const Piece&)> stream;
    // One channel at any rate, whole.
    std::function<std::vector<float>(const std::filesystem::path&, int sampleRate, const JobContext&)> readMono;
    // The isolated voice of a source, its first channel the voice.
    std::function<PCMAudio(const EngineSource&, const JobContext&)> isolatedVoice;
};

} // namespace korvel
