#pragma once

#include "Core/Audio/PCMAudio.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace korvel {

// Planar 48 kHz float sound read a block of frames at a time, so that a mix
// far longer than memory can be measured, limited and written: the steps of
// a long mix are sources that compute their frames from the sources below
// them when asked. Reads are const and may run on several threads at once.
class PCMSource {
public:
    virtual ~PCMSource() = default;
    virtual int64_t frameCount() const = 0;
    virtual int channelCount() const = 0;
    // Channel c holds the samples of channel c − 1 (a mono bus heard in
    // stereo): work on it can be reused.
    virtual bool repeats(int channel) const;
    // Frames [from, from + count) of one channel, inside the source.
    virtual void read(int channel, int64_t from, int64_t count, float* out) const = 0;

    // Frames [from, from + count) of every channel.
    PCMAudio chunk(int64_t from, int64_t count) const;
    PCMAudio whole() const { return chunk(0, frameCount()); }
};

// Fixed-length planar channels that can be written, starting as silence.
class PCMStore : public PCMSource {
public:
    virtual void write(int channel, int64_t from, int64_t count, const float* in) = 0;
};

// Makes the stores a long computation keeps its results in (in memory, or in
// scratch files outside it).
using PCMStores = std::function<std::shared_ptr<PCMStore>(int channels, int64_t frames)>;

namespace PCMSources {
using Source = std::shared_ptr<const PCMSource>;

// Frames read per step by every walk over a source.
inline constexpr int64_t blockFrames = 1 << 16;

// A view of sound in memory; `audio` must outlive it.
Source of(const PCMAudio& audio);
// Frames [from, from + count) of sound in memory, silence where it has none
// or at and past frame `end`; `audio` must outlive it.
Source window(const PCMAudio& audio, int64_t from, int64_t count, int64_t end);
// The same over any source: frames [from, from + count) of it, silence
// outside it or at and past frame `end`.
Source window(Source source, int64_t from, int64_t count, int64_t end);
// wet × amount + dry × (1 − amount) in single precision (two products
// added, not fused), as many channels and frames as the smaller has.
Source blended(Source wet, Source dry, float amount);
// Sound in memory, owned.
Source holding(PCMAudio audio);
std::shared_ptr<PCMStore> inMemory(int channels, int64_t frames);
PCMStores memoryStores();

// The first `channels` channels of `store`, with channel 1 heard as channel 0
// while `mono` is set.
Source bus(std::shared_ptr<const PCMStore> store, bool mono);
// Every sample × the linear gain of `db`, as PCMAudio::scaled rounds it.
Source scaled(Source source, double db);
// base + effects × gain, channel by channel, as many channels as the smaller has.
Source summed(Source base, Source effects, float gain = 1.0f);
// Every channel × a one-channel gain curve.
Source limited(Source source, Source curve);
} // namespace PCMSources

} // namespace korvel
