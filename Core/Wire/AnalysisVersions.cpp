#include "Core/Wire/AnalysisVersions.hpp"

#include "Core/Analysis/Fingerprint.hpp"

#include <vector>

namespace korvel {

std::string AnalysisVersions::fingerprint(std::string_view kind, std::string_view contentHash,
                                          const std::optional<std::string>& heardAs) const {
    std::vector<std::string> parts{std::string(kind), "2", std::string(contentHash), engine};
    if (kind == "color_stats") {
        parts.push_back("3");
    } else if (kind == "loudness") {
        if (heardAs) parts.push_back(*heardAs);
        parts.push_back("2");
    }
    return Fingerprint::of(parts);
}

std::string AnalysisVersions::matteFingerprint(std::string_view contentHash, std::string_view method,
                                               int64_t longEdge) const {
    const std::string edge = std::to_string(longEdge);
    return Fingerprint::of({"matte", "2", "4", contentHash, engine, method, edge});
}

std::string AnalysisVersions::sceneScanFingerprint(std::string_view contentHash) const {
    return Fingerprint::of({"scene_scan", "2", contentHash, engine});
}

std::string AnalysisVersions::voiceLanguageFingerprint(std::string_view contentHash) const {
    return Fingerprint::of({"voice_language", "2", "1", contentHash, engine});
}

std::string AnalysisVersions::transcriptFingerprint(std::string_view contentHash, std::string_view language,
                                                    std::string_view transcriber, std::string_view aligner,
                                                    std::string_view recogniser) const {
    return Fingerprint::of(
        {"transcript", "2", "4", contentHash, engine, language, transcriber, aligner, recogniser});
}

} // namespace korvel
