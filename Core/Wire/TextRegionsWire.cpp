#include "Core/Wire/TextRegionsWire.hpp"

namespace korvel {

TextRegionModel::TextRegionModel(double x, double y, double w, double h, double confidence)
    : box(RectModel::of(x, y, w, h)), confidence(WireNumber::fraction(confidence)) {}

TextRegionModel TextRegionModel::decode(const JSONReader& in) {
    TextRegionModel r;
    in.read("box", r.box);
    in.read("confidence", r.confidence);
    return r;
}

void TextRegionModel::encode(JSONWriter& out) const {
    out.write("box", box);
    out.write("confidence", confidence);
}

TextRegionSampleModel TextRegionSampleModel::decode(const JSONReader& in) {
    TextRegionSampleModel s;
    in.read("atUs", s.atUs);
    in.read("regions", s.regions);
    return s;
}

void TextRegionSampleModel::encode(JSONWriter& out) const {
    out.write("atUs", atUs);
    out.write("regions", regions);
}

TextRegionsAnalysisModel::TextRegionsAnalysisModel(std::string assetId, std::string contentHash,
                                                   std::string fingerprint, std::vector<TextRegionSampleModel> samples)
    : header(analysisHeader(AnalysisKind::textRegions, std::move(assetId), std::move(contentHash),
                            std::move(fingerprint))),
      samples(std::move(samples)) {}

TextRegionsAnalysisModel TextRegionsAnalysisModel::decode(const JSONReader& in) {
    TextRegionsAnalysisModel m;
    m.header = AnalysisHeader::decode(in);
    in.read("samples", m.samples);
    return m;
}

void TextRegionsAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("samples", samples);
}

} // namespace korvel
