#include "Core/Wire/MatteWire.hpp"

namespace korvel {

MatteQualityModel::MatteQualityModel(const MatteQualityValues& v)
    : meanCoverage(WireNumber::fraction(v.meanCoverage)), outerRingOpaque(WireNumber::fraction(v.outerRingOpaque)),
      largestAreaDrop(WireNumber::fraction(v.largestAreaDrop)), greenScreen(v.greenScreen) {
    if (v.personCoverage) {
        personCoverage = WireNumber::fraction(*v.personCoverage);
        withoutPerson.emplace();
        withoutPerson->reserve(v.withoutPerson.size());
        for (const auto& span : v.withoutPerson) withoutPerson->push_back({span.startUs, span.endUs});
    }
    if (v.peopleSeen) peopleSeen = WireNumber::fraction(*v.peopleSeen);
}

MatteQualityModel MatteQualityModel::decode(const JSONReader& in) {
    MatteQualityModel q;
    in.read("meanCoverage", q.meanCoverage);
    in.read("outerRingOpaque", q.outerRingOpaque);
    in.read("largestAreaDrop", q.largestAreaDrop);
    in.read("personCoverage", q.personCoverage);
    in.read("withoutPerson", q.withoutPerson);
    in.read("peopleSeen", q.peopleSeen);
    in.read("greenScreen", q.greenScreen);
    return q;
}

void MatteQualityModel::encode(JSONWriter& out) const {
    out.write("meanCoverage", meanCoverage);
    out.write("outerRingOpaque", outerRingOpaque);
    out.write("largestAreaDrop", largestAreaDrop);
    out.write("personCoverage", personCoverage);
    out.write("withoutPerson", withoutPerson);
    out.write("peopleSeen", peopleSeen);
    out.write("greenScreen", greenScreen);
}

MatteAnalysisModel::MatteAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                                       std::string path, std::string method, int64_t width, int64_t height,
                                       int64_t frameCount, int64_t durationUs, const MatteQualityValues& quality)
    : header(analysisHeader(AnalysisKind::matte, std::move(assetId), std::move(contentHash), std::move(fingerprint))),
      path(std::move(path)), method(std::move(method)), width(width), height(height), frameCount(frameCount),
      durationUs(durationUs), quality(quality) {}

MatteAnalysisModel MatteAnalysisModel::decode(const JSONReader& in) {
    MatteAnalysisModel m;
    m.header = AnalysisHeader::decode(in);
    in.read("path", m.path);
    in.read("method", m.method);
    in.read("width", m.width);
    in.read("height", m.height);
    in.read("frameCount", m.frameCount);
    in.read("durationUs", m.durationUs);
    in.read("quality", m.quality);
    return m;
}

void MatteAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("path", path);
    out.write("method", method);
    out.write("width", width);
    out.write("height", height);
    out.write("frameCount", frameCount);
    out.write("durationUs", durationUs);
    out.write("quality", quality);
}

} // namespace korvel
