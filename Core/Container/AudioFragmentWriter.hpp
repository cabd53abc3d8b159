#pragma once

#include "Core/Container/EncodedAudioStream.hpp"

#include <cstdint>
#include <map>
#include <vector>

namespace korvel {

struct AudioFragmentFormat {
    int64_t channelCount = 0;
    int64_t bitRate = 0;
    int64_t sampleRate = 0;

    bool operator==(const AudioFragmentFormat&) const = default;
};

// One self-contained fragmented MP4 file of AAC packets: its own decoder
// configuration, one movie fragment, and an edit list that hides the
// pre-roll and the encoder delay.
namespace AudioFragmentWriter {
// Sample rate to the MPEG-4 sampling-frequency index; other rates write 3.
const std::map<int64_t, int>& frequencyIndexes();

// Throws EngineFailure -32603 when a number does not fit its 32-bit field.
std::vector<uint8_t> fragment(const EncodedAudioStream& stream, const EncodedAudioStream::Window& window);
std::vector<uint8_t> fragment(const AudioFragmentFormat& format, const std::vector<std::vector<uint8_t>>& packets,
                              int64_t skipFrames);
} // namespace AudioFragmentWriter

} // namespace korvel
