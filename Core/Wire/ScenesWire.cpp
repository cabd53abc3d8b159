#include "Core/Wire/ScenesWire.hpp"

namespace korvel {

SceneModel::SceneModel(int64_t startUs, int64_t endUs, double score)
    : span{startUs, endUs}, score(WireNumber::fraction(score)) {}

SceneModel SceneModel::decode(const JSONReader& in) {
    SceneModel s;
    in.read("span", s.span);
    in.read("score", s.score);
    return s;
}

void SceneModel::encode(JSONWriter& out) const {
    out.write("span", span);
    out.write("score", score);
}

ScenesAnalysisModel::ScenesAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                                         std::vector<SceneModel> scenes)
    : header(analysisHeader(AnalysisKind::scenes, std::move(assetId), std::move(contentHash), std::move(fingerprint))),
      scenes(std::move(scenes)) {}

ScenesAnalysisModel ScenesAnalysisModel::decode(const JSONReader& in) {
    ScenesAnalysisModel m;
    m.header = AnalysisHeader::decode(in);
    in.read("scenes", m.scenes);
    return m;
}

void ScenesAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("scenes", scenes);
}

} // namespace korvel
