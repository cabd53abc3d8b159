#include "Core/Wire/LoudnessWire.hpp"

namespace korvel {

LoudnessPhraseModel::LoudnessPhraseModel(const PhraseLoudness& phrase)
    : span{phrase.startUs, phrase.endUs}, lufs(WireNumber::db(phrase.lufs)), gainDb(WireNumber::db(phrase.gainDb)) {}

LoudnessPhraseModel LoudnessPhraseModel::decode(const JSONReader& in) {
    LoudnessPhraseModel p;
    in.read("span", p.span);
    in.read("lufs", p.lufs);
    in.read("gainDb", p.gainDb);
    return p;
}

void LoudnessPhraseModel::encode(JSONWriter& out) const {
    out.write("span", span);
    out.write("lufs", lufs);
    out.write("gainDb", gainDb);
}

LoudnessAnalysisModel::LoudnessAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                                             const LoudnessReading& reading)
    : header(analysisHeader(AnalysisKind::loudness, std::move(assetId), std::move(contentHash),
                            std::move(fingerprint))),
      integratedLufs(WireNumber::db(reading.integratedLufs)), truePeakDb(WireNumber::db(reading.truePeakDb)) {
    phrases.reserve(reading.phrases.size());
    for (const PhraseLoudness& phrase : reading.phrases) phrases.emplace_back(phrase);
}

LoudnessAnalysisModel LoudnessAnalysisModel::decode(const JSONReader& in) {
    LoudnessAnalysisModel m;
    m.header = AnalysisHeader::decode(in);
    in.read("integratedLufs", m.integratedLufs);
    in.read("truePeakDb", m.truePeakDb);
    in.read("phrases", m.phrases);
    return m;
}

void LoudnessAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("integratedLufs", integratedLufs);
    out.write("truePeakDb", truePeakDb);
    out.write("phrases", phrases);
}

} // namespace korvel
