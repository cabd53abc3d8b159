#include "Core/Wire/AnalysisVersions.hpp"

#include "Core/Analysis/Fingerprint.hpp"

#include <vector>

namespace korvel {

namespace {
// Every kind's recipe starts so; some kinds add parts of their own.
std::vector<std::string> plainRecipe(std::string_view name, std::string_view contentHash, const std::string& engine) {
    return {std::string(name), "2", std::string(contentHash), engine};
}
} // namespace

std::string AnalysisVersions::fingerprint(AnalysisKind kind, std::string_view contentHash,
                                          const std::optional<std::string>& heardAs) const {
    std::vector<std::string> parts = plainRecipe(rawValue(kind), contentHash, engine);
    switch (kind) {
    case AnalysisKind::colorStats:
        parts.push_back("3");
        break;
    case AnalysisKind::loudness:
        if (heardAs) parts.push_back(*heardAs);
        parts.push_back("2");
        break;
    case AnalysisKind::transcript:
    case AnalysisKind::silences:
    case AnalysisKind::waveform:
    case AnalysisKind::isolation:
    case AnalysisKind::faces:
    case AnalysisKind::scenes:
    case AnalysisKind::frameScores:
    case AnalysisKind::textRegions:
    case AnalysisKind::matte:
        break;
    }
    return Fingerprint::of(parts);
}

std::string AnalysisVersions::fingerprint(const RequestedKind& kind, std::string_view contentHash,
                                          const std::optional<std::string>& heardAs) const {
    if (kind.known) return fingerprint(*kind.known, contentHash, heardAs);
    return Fingerprint::of(plainRecipe(kind.name, contentHash, engine));
}

std::string AnalysisVersions::matteFingerprint(std::string_view contentHash, std::string_view method,
                                               int64_t longEdge) const {
    const std::string edge = std::to_string(longEdge);
    return Fingerprint::of({rawValue(AnalysisKind::matte), "2", "4", contentHash, engine, method, edge});
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
    return Fingerprint::of({rawValue(AnalysisKind::transcript), "2", "4", contentHash, engine, language, transcriber,
                            aligner, recogniser});
}

} // namespace korvel
