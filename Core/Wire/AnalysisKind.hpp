#pragma once

#include "Core/Wire/Contract.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// What an analysis measures. Its name is the "kind" of the result and the
// first part of the record's fingerprint, so a name never changes.
enum class AnalysisKind {
    transcript,
    silences,
    loudness,
    waveform,
    isolation,
    faces,
    scenes,
    colorStats,
    frameScores,
    textRegions,
    matte,
};

template <> struct EnumNames<AnalysisKind> {
    static constexpr std::string_view typeName = "AnalysisKind";
    static constexpr std::array<std::string_view, 11> names{
        "transcript", "silences",    "loudness",     "waveform",     "isolation", "faces",
        "scenes",     "color_stats", "frame_scores", "text_regions", "matte",
    };
};

// The kind a request names, read once with its params. A name outside the
// table is kept as sent: it is looked up under that name and, once the
// source is verified, refused with it.
struct RequestedKind {
    std::string name;
    std::optional<AnalysisKind> known;

    static RequestedKind named(std::string name) {
        const auto known = fromRawValue<AnalysisKind>(name);
        return {std::move(name), known};
    }

    bool operator==(const RequestedKind&) const = default;
};

} // namespace korvel
