#include "Core/Wire/WaveformWire.hpp"

#include <cmath>

namespace korvel {

double wirePeak(float peak) { return std::round(static_cast<double>(peak) * 10'000) / 10'000; }

namespace {
std::vector<double> wirePeaks(const std::vector<float>& peaks) {
    std::vector<double> out;
    out.reserve(peaks.size());
    for (float p : peaks) out.push_back(wirePeak(p));
    return out;
}

template <class M> M decodePeaks(const JSONReader& in) {
    M m;
    m.header = AnalysisHeader::decode(in);
    in.read("bucketUs", m.bucketUs);
    in.read("peaks", m.peaks);
    return m;
}
} // namespace

WaveformAnalysisModel::WaveformAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                                             const Waveform::Result& result)
    : header(analysisHeader(AnalysisKind::waveform, std::move(assetId), std::move(contentHash),
                            std::move(fingerprint))),
      bucketUs(result.bucketUs), peaks(wirePeaks(result.peaks)) {}

WaveformAnalysisModel WaveformAnalysisModel::decode(const JSONReader& in) {
    return decodePeaks<WaveformAnalysisModel>(in);
}

void WaveformAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("bucketUs", bucketUs);
    out.write("peaks", peaks);
}

IsolationAnalysisModel::IsolationAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                                               const Waveform::Result& result)
    : header(analysisHeader(AnalysisKind::isolation, std::move(assetId), std::move(contentHash),
                            std::move(fingerprint))),
      bucketUs(result.bucketUs), peaks(wirePeaks(result.peaks)) {}

IsolationAnalysisModel IsolationAnalysisModel::decode(const JSONReader& in) {
    return decodePeaks<IsolationAnalysisModel>(in);
}

void IsolationAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("bucketUs", bucketUs);
    out.write("peaks", peaks);
}

} // namespace korvel
