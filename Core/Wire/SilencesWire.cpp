#include "Core/Wire/SilencesWire.hpp"

namespace korvel {

SilenceMeasurementModel::SilenceMeasurementModel(const SilenceMeasurementValues& v)
    : windowUs(v.windowUs), floorDb(WireNumber::db(v.floorDb)), voiceDb(WireNumber::db(v.voiceDb)),
      thresholdDb(WireNumber::db(v.thresholdDb)), lowSeparation(v.lowSeparation) {}

SilenceMeasurementModel SilenceMeasurementModel::decode(const JSONReader& in) {
    SilenceMeasurementModel m;
    in.read("windowUs", m.windowUs);
    in.read("floorDb", m.floorDb);
    in.read("voiceDb", m.voiceDb);
    in.read("thresholdDb", m.thresholdDb);
    in.read("lowSeparation", m.lowSeparation);
    return m;
}

void SilenceMeasurementModel::encode(JSONWriter& out) const {
    out.write("windowUs", windowUs);
    out.write("floorDb", floorDb);
    out.write("voiceDb", voiceDb);
    out.write("thresholdDb", thresholdDb);
    out.write("lowSeparation", lowSeparation);
}

SilenceRunModel::SilenceRunModel(const SilenceRun& run)
    : startUs(run.startUs), endUs(run.endUs), meanDb(WireNumber::db(run.meanDb)) {}

SilenceRunModel SilenceRunModel::decode(const JSONReader& in) {
    SilenceRunModel r;
    in.read("startUs", r.startUs);
    in.read("endUs", r.endUs);
    in.read("meanDb", r.meanDb);
    return r;
}

void SilenceRunModel::encode(JSONWriter& out) const {
    out.write("startUs", startUs);
    out.write("endUs", endUs);
    out.write("meanDb", meanDb);
}

SilencesAnalysisModel::SilencesAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                                             const SilenceDetector::Result& result)
    : header(analysisHeader(AnalysisKind::silences, std::move(assetId), std::move(contentHash),
                            std::move(fingerprint))),
      measurement(result.measurement) {
    runs.reserve(result.runs.size());
    for (const SilenceRun& run : result.runs) runs.emplace_back(run);
}

SilencesAnalysisModel SilencesAnalysisModel::decode(const JSONReader& in) {
    SilencesAnalysisModel m;
    m.header = AnalysisHeader::decode(in);
    in.read("measurement", m.measurement);
    in.read("runs", m.runs);
    return m;
}

void SilencesAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("measurement", measurement);
    out.write("runs", runs);
}

} // namespace korvel
