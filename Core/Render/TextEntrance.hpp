#pragma once

#include "Core/Render/Contract.hpp"

#include <cstdint>

namespace korvel {

struct CubicBezier {
    double x1 = 0;
    double y1 = 0;
    double x2 = 0;
    double y2 = 0;

    bool operator==(const CubicBezier&) const = default;
    static CubicBezier decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// Where each word starts its entrance from.
struct TextEntranceStart {
    double opacity = 0;
    double shiftYShare = 0;
    double scale = 0;
    double blurPct = 0;

    bool operator==(const TextEntranceStart&) const = default;
    static TextEntranceStart decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// The whole item's fade-in.
struct TextEntranceFade {
    int64_t durationUs = 0;
    CubicBezier easing;

    bool operator==(const TextEntranceFade&) const = default;
    static TextEntranceFade decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// A named entrance animation of text items; durationUs is one word's.
struct TextEntrance {
    int64_t durationUs = 0;
    CubicBezier easing;
    TextEntranceStart from;
    TextEntranceFade fade;

    bool operator==(const TextEntrance&) const = default;
    static TextEntrance decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
