#pragma once

#include "Core/Wire/Contract.hpp"

#include <cstdint>
#include <string>
#include <variant>

namespace korvel {

struct CubicBezier {
    double x1 = 0;
    double y1 = 0;
    double x2 = 0;
    double y2 = 0;

    // The easing at progress x: 0 at or below 0, 1 at or above 1.
    double value(double x) const;

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

// Where a run stands at one moment of its entrance.
struct TextPose {
    double opacity = 1;
    double shiftYShare = 0;
    double scale = 1;
    double blurPct = 0;

    static constexpr TextPose atRest() { return {}; }
    bool isAtRest() const { return opacity == 1 && shiftYShare == 0 && scale == 1 && blurPct == 0; }
    bool operator==(const TextPose&) const = default;
};

// Why an item cannot be bound to its entrance.
struct TextEntranceFailure {
    enum class Kind { unknownEntrance, runWithoutTime, runWithTimeButNoEntrance };
    Kind kind = Kind::unknownEntrance;
    std::string name; // the entrance asked for, for unknownEntrance

    // The case as declared, with the name quoted for unknownEntrance.
    std::string text() const;
    bool operator==(const TextEntranceFailure&) const = default;
};

// A named entrance animation of text items; durationUs is one word's.
struct TextEntrance {
    int64_t durationUs = 0;
    CubicBezier easing;
    TextEntranceStart from;
    TextEntranceFade fade;

    // The pose of a run `sinceEnterUs` after its enterUs (negative: not begun).
    TextPose pose(int64_t sinceEnterUs) const;
    // The item's fade-in opacity `sinceItemStartUs` after its outStartUs.
    double fadeOpacity(int64_t sinceItemStartUs) const;

    bool operator==(const TextEntrance&) const = default;
    static TextEntrance decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
