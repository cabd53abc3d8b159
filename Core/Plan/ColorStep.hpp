#pragma once

#include "Core/Wire/Contract.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace korvel {

struct RgbGains {
    double r = 0;
    double g = 0;
    double b = 0;

    bool operator==(const RgbGains&) const = default;
    static RgbGains decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// One grading step, tagged in JSON by its "kind". Every kind carries the
// same optional time bounds, which are written as null when unset.
struct ColorStep {
    struct Look {
        std::string look;
        double strength;
        bool operator==(const Look&) const = default;
    };
    struct Correct {
        std::map<std::string, double> adjustments;
        bool operator==(const Correct&) const = default;
    };
    struct Match {
        RgbGains gains;
        bool operator==(const Match&) const = default;
    };
    struct Grain {
        double strength;
        int64_t seed;
        bool operator==(const Grain&) const = default;
    };
    // Nested kinds carry no member initialisers so that the variant stays
    // default-constructible inside the enclosing class.
    using Kind = std::variant<Look, Correct, Match, Grain>;

    Kind kind;
    std::optional<int64_t> outStartUs;
    std::optional<int64_t> outEndUs;

    const Look* look() const { return std::get_if<Look>(&kind); }
    const Correct* correct() const { return std::get_if<Correct>(&kind); }
    const Match* match() const { return std::get_if<Match>(&kind); }
    const Grain* grain() const { return std::get_if<Grain>(&kind); }

    // Half-open: active from outStartUs, no longer at outEndUs; a missing
    // bound does not limit.
    bool isActive(int64_t atUs) const;

    bool operator==(const ColorStep&) const = default;
    static ColorStep decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
