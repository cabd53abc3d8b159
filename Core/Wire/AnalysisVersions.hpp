#pragma once

#include "Core/Wire/AnalysisKind.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// The fingerprint recipes of stored analyses. Every part list holds a recipe
// revision and the engine version, so a new recipe or engine never reads an
// older record.
struct AnalysisVersions {
    std::string engine;

    // heardAs counts for loudness only.
    std::string fingerprint(AnalysisKind kind, std::string_view contentHash,
                            const std::optional<std::string>& heardAs) const;
    // A name outside the table takes the plain recipe under that name, so
    // "scene_scan" finds the scene-scan record.
    std::string fingerprint(const RequestedKind& kind, std::string_view contentHash,
                            const std::optional<std::string>& heardAs) const;
    // method is "hybrid" or "foreground".
    std::string matteFingerprint(std::string_view contentHash, std::string_view method, int64_t longEdge) const;
    std::string sceneScanFingerprint(std::string_view contentHash) const;
    std::string voiceLanguageFingerprint(std::string_view contentHash) const;
    // aligner is the alignment model's sha256 or "unaligned"; recogniser the
    // whisper model's sha256 or "system".
    std::string transcriptFingerprint(std::string_view contentHash, std::string_view language,
                                      std::string_view transcriber, std::string_view aligner,
                                      std::string_view recogniser) const;
};

} // namespace korvel
