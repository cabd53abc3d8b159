#include "Core/Wire/FrameScoresWire.hpp"

#include <cmath>

namespace korvel {

namespace {
double nonNegative(double value) {
    if (value <= 0) return 0;
    return std::round(value * 100) / 100;
}
} // namespace

FrameScoreModel::FrameScoreModel(int64_t atUs, std::optional<double> faceQuality, double sharpness)
    : atUs(atUs), sharpness(nonNegative(sharpness)) {
    if (faceQuality) this->faceQuality = WireNumber::fraction(*faceQuality);
}

FrameScoreModel FrameScoreModel::decode(const JSONReader& in) {
    FrameScoreModel s;
    in.read("atUs", s.atUs);
    in.read("faceQuality", s.faceQuality);
    in.read("sharpness", s.sharpness);
    return s;
}

void FrameScoreModel::encode(JSONWriter& out) const {
    out.write("atUs", atUs);
    out.write("faceQuality", faceQuality);
    out.write("sharpness", sharpness);
}

FrameScoresAnalysisModel::FrameScoresAnalysisModel(std::string assetId, std::string contentHash,
                                                   std::string fingerprint, std::vector<FrameScoreModel> samples)
    : header(analysisHeader(AnalysisKind::frameScores, std::move(assetId), std::move(contentHash),
                            std::move(fingerprint))),
      samples(std::move(samples)) {}

FrameScoresAnalysisModel FrameScoresAnalysisModel::decode(const JSONReader& in) {
    FrameScoresAnalysisModel m;
    m.header = AnalysisHeader::decode(in);
    in.read("samples", m.samples);
    return m;
}

void FrameScoresAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("samples", samples);
}

} // namespace korvel
