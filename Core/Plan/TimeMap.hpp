#pragma once

#include "Core/Wire/Contract.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

// The editor's statement of which source time plays when; carried, never
// interpreted.
struct TimeMapEntry {
    std::string assetId;
    int64_t srcStartUs = 0;
    int64_t srcEndUs = 0;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;
    double speed = 0;

    bool operator==(const TimeMapEntry&) const = default;
    static TimeMapEntry decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TimeMap {
    std::vector<TimeMapEntry> entries;

    bool operator==(const TimeMap&) const = default;
    static TimeMap decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
