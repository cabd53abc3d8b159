#pragma once

#include "Core/Container/AudioFragmentWriter.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace korvel {

// A source's own AAC packets, indexed once, from which audio segments are
// cut without decoding or encoding.
struct CopiedAudio {
    struct Packet {
        int64_t offset = 0;
        int32_t size = 0;
        bool operator==(const Packet&) const = default;
    };
    struct Fragment {
        std::vector<uint8_t> bytes;
        int64_t packetCount = 0;
    };

    std::filesystem::path url;
    AudioFragmentFormat format;
    int64_t delayFrames = 0;
    std::vector<Packet> packets;

    bool covers(int64_t durationUs) const;
    // Throws -32602 "This audio segment lies past the end of the plan." for a
    // window without packets, and the read failures of the stored samples.
    Fragment fragment(int64_t outStartUs, int64_t outEndUs) const;
};

namespace CopiedAudioReader {
// Nothing when the file's sound can't be copied: not AAC-LC of 1024-frame
// packets, more than two channels, an unknown rate, other than one plain
// edit from time 0, packets that do not follow each other evenly, or bytes
// in another file. Never throws.
std::shared_ptr<const CopiedAudio> open(const std::filesystem::path& url);
} // namespace CopiedAudioReader

} // namespace korvel
