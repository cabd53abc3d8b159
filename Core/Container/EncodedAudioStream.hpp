#pragma once

#include <cstdint>
#include <vector>

namespace korvel {

// An immutable snapshot of AAC packets of one mix, and the packet windows
// that cover frame ranges of it with one packet of pre-roll.
struct EncodedAudioStream {
    static constexpr int64_t framesPerPacket = 1024;

    struct Window {
        int64_t firstPacket = 0;
        int64_t endPacket = 0; // exclusive
        int64_t skipFrames = 0;
        int64_t startFrame = 0;
        int64_t endFrame = 0;

        int64_t packetCount() const { return endPacket - firstPacket; }
        bool empty() const { return endPacket <= firstPacket; }
        bool operator==(const Window&) const = default;
    };

    std::vector<std::vector<uint8_t>> packets;
    int64_t encoderDelayFrames = 0;
    int64_t frameCount = 0;
    int64_t channelCount = 0;
    int64_t bitRate = 0;
    bool isComplete = false;

    bool holds(int64_t endFrame) const;
    static bool holds(int64_t endFrame, int64_t delayFrames, int64_t packetCount, bool isComplete);
    Window window(int64_t startFrame, int64_t endFrame) const;
    static Window window(int64_t startFrame, int64_t endFrame, int64_t delayFrames, int64_t packetCount);

    bool operator==(const EncodedAudioStream&) const = default;
};

} // namespace korvel
