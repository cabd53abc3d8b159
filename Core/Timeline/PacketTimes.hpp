#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace korvel {

// The times containers without sample tables give their packets (Matroska,
// MPEG-TS, AVI, Ogg...) made into the clean times a sample table holds.
namespace PacketTimes {

// One packet in file order, in the stream's ticks.
struct Packet {
    std::optional<int64_t> pts, dts;
    int64_t duration = 0; // zero when unknown

    bool operator==(const Packet&) const = default;
};

struct Timed {
    int64_t decode = 0;
    int64_t presentation = 0;
    int64_t duration = 0; // until the next shown frame; the last keeps its own

    bool operator==(const Timed&) const = default;
};

// The same packets, same order: decode times strictly increasing,
// presentation times unique and the earliest at zero. A missing time comes
// from the other one (held back as the last timed packet is) or from the
// packet before; a time that repeats or goes back moves this packet and
// those after it to a frame after the last one. Throws TimeOverflow for times that leave
// 64 bits.
std::vector<Timed> clean(const std::vector<Packet>& packets);
// The time, on the packets' own clock, that clean() moves to zero: where
// the first shown frame lies, and so where the file's other streams start
// for its picture. Nothing without packets; throws as clean() does.
std::optional<int64_t> firstShown(const std::vector<Packet>& packets);

} // namespace PacketTimes
} // namespace korvel
