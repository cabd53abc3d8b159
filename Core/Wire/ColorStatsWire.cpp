#include "Core/Wire/ColorStatsWire.hpp"

namespace korvel {

MeanRgbModel::MeanRgbModel(double r, double g, double b)
    : r(WireNumber::fraction(r)), g(WireNumber::fraction(g)), b(WireNumber::fraction(b)) {}

MeanRgbModel MeanRgbModel::decode(const JSONReader& in) {
    MeanRgbModel m;
    in.read("r", m.r);
    in.read("g", m.g);
    in.read("b", m.b);
    return m;
}

void MeanRgbModel::encode(JSONWriter& out) const {
    out.write("r", r);
    out.write("g", g);
    out.write("b", b);
}

ColorTakeModel::ColorTakeModel(SpanModel span, MeanRgbModel meanRgb, std::optional<MeanRgbModel> brightRgb,
                               double lumaP05, double lumaP50, double lumaP95, const std::vector<double>& lumaLayout,
                               std::map<std::string, double> autoAdjustments)
    : span(span), meanRgb(meanRgb), brightRgb(brightRgb), lumaP05(WireNumber::fraction(lumaP05)),
      lumaP50(WireNumber::fraction(lumaP50)), lumaP95(WireNumber::fraction(lumaP95)),
      autoAdjustments(std::move(autoAdjustments)) {
    this->lumaLayout.reserve(lumaLayout.size());
    for (double cell : lumaLayout) this->lumaLayout.push_back(WireNumber::fraction(cell));
}

ColorTakeModel ColorTakeModel::decode(const JSONReader& in) {
    ColorTakeModel t;
    in.read("span", t.span);
    in.read("meanRgb", t.meanRgb);
    in.read("brightRgb", t.brightRgb);
    in.read("lumaP05", t.lumaP05);
    in.read("lumaP50", t.lumaP50);
    in.read("lumaP95", t.lumaP95);
    in.read("lumaLayout", t.lumaLayout);
    in.read("autoAdjustments", t.autoAdjustments);
    return t;
}

void ColorTakeModel::encode(JSONWriter& out) const {
    out.write("span", span);
    out.write("meanRgb", meanRgb);
    out.write("brightRgb", brightRgb);
    out.write("lumaP05", lumaP05);
    out.write("lumaP50", lumaP50);
    out.write("lumaP95", lumaP95);
    out.write("lumaLayout", lumaLayout);
    out.write("autoAdjustments", autoAdjustments);
}

ColorSampleModel ColorSampleModel::decode(const JSONReader& in) {
    ColorSampleModel s;
    in.read("atUs", s.atUs);
    in.read("meanRgb", s.meanRgb);
    return s;
}

void ColorSampleModel::encode(JSONWriter& out) const {
    out.write("atUs", atUs);
    out.write("meanRgb", meanRgb);
}

ColorStatsAnalysisModel::ColorStatsAnalysisModel(std::string assetId, std::string contentHash,
                                                 std::string fingerprint, std::vector<ColorTakeModel> takes,
                                                 std::vector<ColorSampleModel> samples)
    : header(analysisHeader(AnalysisKind::colorStats, std::move(assetId), std::move(contentHash),
                            std::move(fingerprint))),
      takes(std::move(takes)), samples(std::move(samples)) {}

ColorStatsAnalysisModel ColorStatsAnalysisModel::decode(const JSONReader& in) {
    ColorStatsAnalysisModel m;
    m.header = AnalysisHeader::decode(in);
    in.read("takes", m.takes);
    in.read("samples", m.samples);
    return m;
}

void ColorStatsAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("takes", takes);
    out.write("samples", samples);
}

} // namespace korvel
