#include "Adapters/Methods/AnalysisWire.hpp"

namespace korvel::AnalysisWire {

namespace {
RectModel rect(const NormalizedBox& box) { return RectModel::of(box.x, box.y, box.w, box.h); }
MeanRgbModel rgb(const ColorAnalyzer::RGB& c) { return MeanRgbModel(c.r, c.g, c.b); }
} // namespace

ScenesAnalysisModel scenes(std::string assetId, std::string contentHash, std::string fingerprint,
                           std::span<const SceneSpan> spans) {
    std::vector<SceneModel> models;
    models.reserve(spans.size());
    for (const SceneSpan& s : spans) models.emplace_back(s.startUs, s.endUs, s.score);
    return ScenesAnalysisModel(std::move(assetId), std::move(contentHash), std::move(fingerprint), std::move(models));
}

FacesAnalysisModel faces(std::string assetId, std::string contentHash, std::string fingerprint,
                         const FaceAnalyzer::Result& result) {
    std::vector<FaceSampleModel> samples;
    samples.reserve(result.samples.size());
    for (const FaceSample& s : result.samples) {
        FaceSampleModel model{s.atUs, {}};
        model.faces.reserve(s.faces.size());
        for (const DetectedFace& f : s.faces) model.faces.push_back({rect(f.box), WireNumber::fraction(f.confidence)});
        samples.push_back(std::move(model));
    }
    std::vector<FaceTrackModel> tracks;
    tracks.reserve(result.tracks.size());
    for (const FaceTrackSpan& t : result.tracks) {
        FaceTrackModel model{{t.startUs, t.endUs}, {}};
        model.samples.reserve(t.samples.size());
        for (const FaceTrackSample& s : t.samples) model.samples.push_back({s.atUs, rect(s.box), s.detected});
        tracks.push_back(std::move(model));
    }
    return FacesAnalysisModel(std::move(assetId), std::move(contentHash), std::move(fingerprint), std::move(samples),
                              std::move(tracks));
}

FrameScoresAnalysisModel frameScores(std::string assetId, std::string contentHash, std::string fingerprint,
                                     std::span<const FrameScorer::Sample> samples) {
    std::vector<FrameScoreModel> models;
    models.reserve(samples.size());
    for (const FrameScorer::Sample& s : samples) models.emplace_back(s.atUs, s.faceQuality, s.sharpness);
    return FrameScoresAnalysisModel(std::move(assetId), std::move(contentHash), std::move(fingerprint),
                                    std::move(models));
}

ColorStatsAnalysisModel colorStats(std::string assetId, std::string contentHash, std::string fingerprint,
                                   const ColorAnalyzer::Measured& measured) {
    std::vector<ColorTakeModel> takes;
    takes.reserve(measured.takes.size());
    for (const ColorAnalyzer::Take& t : measured.takes) {
        std::optional<MeanRgbModel> bright;
        if (t.brightRgb) bright = rgb(*t.brightRgb);
        takes.emplace_back(SpanModel{t.startUs, t.endUs}, rgb(t.meanRgb), bright, t.lumaP05, t.lumaP50, t.lumaP95,
                           t.lumaLayout, t.autoAdjustments);
    }
    std::vector<ColorSampleModel> samples;
    samples.reserve(measured.samples.size());
    for (const ColorAnalyzer::Sample& s : measured.samples) samples.push_back({s.atUs, rgb(s.rgb)});
    return ColorStatsAnalysisModel(std::move(assetId), std::move(contentHash), std::move(fingerprint),
                                   std::move(takes), std::move(samples));
}

TextRegionsAnalysisModel textRegions(std::string assetId, std::string contentHash, std::string fingerprint,
                                     std::span<const TextRegionFinder::Sample> found) {
    std::vector<TextRegionSampleModel> samples;
    samples.reserve(found.size());
    for (const TextRegionFinder::Sample& s : found) {
        TextRegionSampleModel model{s.atUs, {}};
        model.regions.reserve(s.regions.size());
        for (const TextRegionFinder::Region& r : s.regions) {
            const NormalizedBox cut = r.box.clamped();
            model.regions.emplace_back(cut.x, cut.y, cut.w, cut.h, r.confidence);
        }
        samples.push_back(std::move(model));
    }
    return TextRegionsAnalysisModel(std::move(assetId), std::move(contentHash), std::move(fingerprint),
                                    std::move(samples));
}

} // namespace korvel::AnalysisWire
