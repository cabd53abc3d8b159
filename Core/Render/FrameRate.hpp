#pragma once

#include <cstdint>

namespace korvel {

// Stand-in until the plan types land; replaced by the plan's own record.
struct FrameRate {
    int64_t num = 0;
    int64_t den = 1;
    bool operator==(const FrameRate&) const = default;
};

} // namespace korvel
