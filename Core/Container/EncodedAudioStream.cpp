#include "Core/Container/EncodedAudioStream.hpp"

#include <algorithm>

namespace korvel {

namespace {
int64_t ceilDiv(int64_t a, int64_t b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); }
} // namespace

EncodedAudioStream::Window EncodedAudioStream::window(int64_t startFrame, int64_t endFrame, int64_t delayFrames,
                                                      int64_t packetCount) {
    // A window before the start of the sound begins at its start: a negative
    // skip has no meaning in an edit list.
    startFrame = std::max<int64_t>(0, startFrame);
    endFrame = std::max(startFrame, endFrame);
    const int64_t ds = startFrame + delayFrames;
    const int64_t de = endFrame + delayFrames;
    Window w;
    w.firstPacket = ds < 2 * framesPerPacket ? 0 : ds / framesPerPacket - 1;
    w.endPacket = std::max(w.firstPacket, std::min(packetCount, ceilDiv(de, framesPerPacket) + 1));
    w.skipFrames = ds - w.firstPacket * framesPerPacket;
    w.startFrame = startFrame;
    w.endFrame = endFrame;
    return w;
}

EncodedAudioStream::Window EncodedAudioStream::window(int64_t startFrame, int64_t endFrame) const {
    return window(startFrame, endFrame, encoderDelayFrames, static_cast<int64_t>(packets.size()));
}

bool EncodedAudioStream::holds(int64_t endFrame, int64_t delayFrames, int64_t packetCount, bool complete) {
    if (complete) return true;
    return packetCount > 0 && packetCount > ceilDiv(endFrame + delayFrames, framesPerPacket) + 1;
}

bool EncodedAudioStream::holds(int64_t endFrame) const {
    return holds(endFrame, encoderDelayFrames, static_cast<int64_t>(packets.size()), isComplete);
}

} // namespace korvel
