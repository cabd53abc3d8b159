#include "Core/Timeline/PacketTimes.hpp"

#include "Core/Time.hpp"

#include <algorithm>
#include <numeric>
#include <set>

namespace korvel {

namespace {

int64_t added(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_add_overflow(a, b, &r)) throw TimeOverflow();
    return r;
}

int64_t subtracted(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_sub_overflow(a, b, &r)) throw TimeOverflow();
    return r;
}

// Every packet with both times: a missing presentation time comes from the
// decode time or follows the packet before; when any decode time is missing, all
// are read off the sorted presentation times, held back as much as the
// reordering needs.
std::vector<PacketTimes::Packet> filled(const std::vector<PacketTimes::Packet>& packets) {
    std::vector<PacketTimes::Packet> out = packets;
    bool anyDecodeMissing = false;
    // Program streams time only some pictures: the others keep the delay
    // between decoding and showing of the last one that is timed.
    int64_t delay = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        PacketTimes::Packet& p = out[i];
        if (p.pts && p.dts) delay = std::max<int64_t>(subtracted(*p.pts, *p.dts), 0);
        if (!p.pts && p.dts) p.pts = added(*p.dts, delay);
        if (!p.pts) p.pts = i == 0 ? 0 : added(*out[i - 1].pts, std::max<int64_t>(out[i - 1].duration, 1));
        anyDecodeMissing = anyDecodeMissing || !p.dts;
    }
    if (!anyDecodeMissing) return out;
    std::vector<int64_t> sorted;
    sorted.reserve(out.size());
    for (const auto& p : out) sorted.push_back(*p.pts);
    std::sort(sorted.begin(), sorted.end());
    int64_t held = 0;
    for (size_t i = 0; i < out.size(); ++i) held = std::max(held, subtracted(sorted[i], *out[i].pts));
    for (size_t i = 0; i < out.size(); ++i) out[i].dts = subtracted(sorted[i], held);
    return out;
}

struct Shown {
    std::vector<PacketTimes::Timed> packets; // on the packets' own clock
    int64_t start = 0;
};

Shown onOwnClock(const std::vector<PacketTimes::Packet>& packets) {
    using PacketTimes::Packet;
    using PacketTimes::Timed;
    std::vector<Timed> out;
    out.reserve(packets.size());
    // Added to every later time once one went back, so that what follows a
    // jump keeps its own spacing.
    int64_t shift = 0;
    std::set<int64_t> shown;
    for (const Packet& p : filled(packets)) {
        Timed t;
        t.decode = added(*p.dts, shift);
        t.presentation = added(*p.pts, shift);
        if (!out.empty() && t.decode <= out.back().decode) {
            // One frame after the last: a clock that starts over (joined
            // recordings) goes on playing in step.
            const int64_t back = subtracted(added(out.back().decode, std::max<int64_t>(out.back().duration, 1)), t.decode);
            shift = added(shift, back);
            t.decode = added(t.decode, back);
            t.presentation = added(t.presentation, back);
        }
        // A frame can't be shown before it is decoded.
        t.presentation = std::max(t.presentation, t.decode);
        while (!shown.insert(t.presentation).second) t.presentation = added(t.presentation, 1);
        t.duration = std::max<int64_t>(p.duration, 0);
        out.push_back(t);
    }
    if (out.empty()) return {};

    std::vector<size_t> order(out.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return out[a].presentation < out[b].presentation; });
    const int64_t start = out[order.front()].presentation;
    const int64_t span = subtracted(out[order.back()].presentation, start);
    for (size_t k = 0; k + 1 < order.size(); ++k) {
        out[order[k]].duration = out[order[k + 1]].presentation - out[order[k]].presentation;
    }
    // Without its own length the last frame lasts as long as the mean one.
    Timed& last = out[order.back()];
    if (last.duration <= 0) last.duration = order.size() > 1 ? std::max<int64_t>(span / int64_t(order.size() - 1), 1) : 1;
    return {std::move(out), start};
}

} // namespace

std::vector<PacketTimes::Timed> PacketTimes::clean(const std::vector<Packet>& packets) {
    Shown s = onOwnClock(packets);
    for (Timed& t : s.packets) {
        t.decode = subtracted(t.decode, s.start);
        t.presentation -= s.start;
    }
    return std::move(s.packets);
}

std::optional<int64_t> PacketTimes::firstShown(const std::vector<Packet>& packets) {
    if (packets.empty()) return std::nullopt;
    return onOwnClock(packets).start;
}

} // namespace korvel
