#pragma once

#include "Core/Wire/Contract.hpp"
#include "Core/Plan/NormalizedRect.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

struct TransformKeyframe {
    int64_t outUs = 0;
    NormalizedPoint center;
    double scale = 0;

    bool operator==(const TransformKeyframe&) const = default;
    static TransformKeyframe decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// The framing of a segment's picture over time. Keyframes are used in the
// order given; nothing sorts them.
struct Transform {
    struct Sample {
        NormalizedPoint center;
        double scale = 0;
        bool operator==(const Sample&) const = default;
    };

    std::vector<TransformKeyframe> keyframes;

    // Linear between the first pair (in array order) whose later time is
    // past t; held flat before the first and after the last keyframe.
    Sample sampled(int64_t atUs) const;

    bool operator==(const Transform&) const = default;
    static Transform decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

enum class TransitionStyle { smooth, fast, flash };

template <> struct EnumNames<TransitionStyle> {
    static constexpr std::string_view typeName = "TransitionStyle";
    static constexpr std::array<std::string_view, 3> names{"smooth", "fast", "flash"};
};

struct TransitionIn {
    TransitionStyle style = TransitionStyle::smooth;
    int64_t durationUs = 0;

    bool operator==(const TransitionIn&) const = default;
    static TransitionIn decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// One stretch of a source on the main track. A speed that is not positive
// and finite is refused on reading: the timeline divides by it.
struct Segment {
    std::string assetId;
    int64_t srcStartUs = 0;
    int64_t srcEndUs = 0;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;
    double speed = 0;
    Transform transform;
    Nullable<TransitionIn> transitionIn;

    bool operator==(const Segment&) const = default;
    static Segment decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
