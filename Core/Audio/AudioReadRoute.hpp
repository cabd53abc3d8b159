#pragma once

namespace korvel {

// Which way a source's sound is read: straight from the file's own AAC at
// its rate, or through the general decoder with conversion.
namespace AudioReadRoute {
enum class Codec { aacLC, other };

inline constexpr int speechRate = 16'000;

// One asked channel reads a stereo source whole, so the pair can be averaged.
int channelsToRead(int sourceChannels, int askedChannels);
bool direct(Codec codec, int sourceRate, int sourceChannels, int askedRate, int askedChannels);
} // namespace AudioReadRoute

} // namespace korvel
