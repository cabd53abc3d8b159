#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvel {

// A filler candidate and the span a cut would remove.
struct FillerFinding {
    enum class Kind { written, sustained, voicedGap };

    Kind kind = Kind::written;
    int64_t startUs = 0;
    int64_t endUs = 0;
    int64_t cutStartUs = 0;
    int64_t cutEndUs = 0;
    std::optional<int64_t> wordIndex;  // absent for voiced gaps
    bool auditionOnly = false;

    bool operator==(const FillerFinding&) const = default;

    static std::string_view rawValue(Kind kind);
    static std::optional<Kind> kindNamed(std::string_view rawValue);
};

} // namespace korvel
