#pragma once

#include "Core/Wire/Contract.hpp"

#include <cstdint>
#include <string>
#include <variant>

namespace korvel {

// What fills the backdrop behind a matted subject, tagged in JSON by "type".
struct BackgroundFill {
    struct Solid {
        std::string color;
        bool operator==(const Solid&) const = default;
    };
    struct Asset {
        std::string assetId;
        bool operator==(const Asset&) const = default;
    };
    struct Blur {
        double radiusPct;
        bool operator==(const Blur&) const = default;
    };
    struct None {
        bool operator==(const None&) const = default;
    };
    struct Gray {
        bool operator==(const Gray&) const = default;
    };
    using Kind = std::variant<Solid, Asset, Blur, None, Gray>;

    Kind kind;

    const Solid* solid() const { return std::get_if<Solid>(&kind); }
    const Asset* asset() const { return std::get_if<Asset>(&kind); }
    const Blur* blur() const { return std::get_if<Blur>(&kind); }
    bool isNone() const { return std::holds_alternative<None>(kind); }
    bool isGray() const { return std::holds_alternative<Gray>(kind); }

    bool operator==(const BackgroundFill&) const = default;
    static BackgroundFill decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct PlanBackground {
    BackgroundFill fill;
    std::string matteKey;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;

    bool operator==(const PlanBackground&) const = default;
    static PlanBackground decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
