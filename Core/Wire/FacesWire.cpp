#include "Core/Wire/FacesWire.hpp"

namespace korvel {

FaceModel FaceModel::decode(const JSONReader& in) {
    FaceModel f;
    in.read("box", f.box);
    in.read("confidence", f.confidence);
    return f;
}

void FaceModel::encode(JSONWriter& out) const {
    out.write("box", box);
    out.write("confidence", confidence);
}

FaceSampleModel FaceSampleModel::decode(const JSONReader& in) {
    FaceSampleModel s;
    in.read("atUs", s.atUs);
    in.read("faces", s.faces);
    return s;
}

void FaceSampleModel::encode(JSONWriter& out) const {
    out.write("atUs", atUs);
    out.write("faces", faces);
}

FaceTrackSampleModel FaceTrackSampleModel::decode(const JSONReader& in) {
    FaceTrackSampleModel s;
    in.read("atUs", s.atUs);
    in.read("box", s.box);
    in.read("detected", s.detected);
    return s;
}

void FaceTrackSampleModel::encode(JSONWriter& out) const {
    out.write("atUs", atUs);
    out.write("box", box);
    out.write("detected", detected);
}

FaceTrackModel FaceTrackModel::decode(const JSONReader& in) {
    FaceTrackModel t;
    in.read("span", t.span);
    in.read("samples", t.samples);
    return t;
}

void FaceTrackModel::encode(JSONWriter& out) const {
    out.write("span", span);
    out.write("samples", samples);
}

FacesAnalysisModel::FacesAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                                       std::vector<FaceSampleModel> samples, std::vector<FaceTrackModel> tracks)
    : header(analysisHeader(AnalysisKind::faces, std::move(assetId), std::move(contentHash), std::move(fingerprint))),
      samples(std::move(samples)), tracks(std::move(tracks)) {}

FacesAnalysisModel FacesAnalysisModel::decode(const JSONReader& in) {
    FacesAnalysisModel m;
    m.header = AnalysisHeader::decode(in);
    in.read("samples", m.samples);
    in.read("tracks", m.tracks);
    return m;
}

void FacesAnalysisModel::encode(JSONWriter& out) const {
    header.encode(out);
    out.write("samples", samples);
    out.write("tracks", tracks);
}

} // namespace korvel
