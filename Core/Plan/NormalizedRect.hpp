#pragma once

#include "Core/Wire/Contract.hpp"

namespace korvel {

// Fractions of a picture's width and height, from its top-left corner.
// Values are carried as given: nothing clamps them to 0...1.
struct NormalizedPoint {
    double x = 0;
    double y = 0;

    bool operator==(const NormalizedPoint&) const = default;
    static NormalizedPoint decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct NormalizedRect {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;

    bool operator==(const NormalizedRect&) const = default;
    static NormalizedRect decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
