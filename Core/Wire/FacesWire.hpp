#pragma once

#include "Core/Wire/WireNumber.hpp"

#include <optional>
#include <vector>

namespace korvel {

struct FaceModel {
    RectModel box;
    double confidence = 0;

    bool operator==(const FaceModel&) const = default;
    static FaceModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct FaceSampleModel {
    int64_t atUs = 0;
    std::vector<FaceModel> faces;

    bool operator==(const FaceSampleModel&) const = default;
    static FaceSampleModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct FaceTrackSampleModel {
    int64_t atUs = 0;
    RectModel box;
    bool detected = false;

    bool operator==(const FaceTrackSampleModel&) const = default;
    static FaceTrackSampleModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct FaceTrackModel {
    SpanModel span;
    std::vector<FaceTrackSampleModel> samples;

    bool operator==(const FaceTrackModel&) const = default;
    static FaceTrackModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct FacesAnalysisModel {
    AnalysisHeader header;
    std::vector<FaceSampleModel> samples;
    // Always set by the engine; a stored model may lack it.
    std::optional<std::vector<FaceTrackModel>> tracks;

    FacesAnalysisModel(std::string assetId, std::string contentHash, std::string fingerprint,
                       std::vector<FaceSampleModel> samples, std::vector<FaceTrackModel> tracks);
    FacesAnalysisModel() = default;

    bool operator==(const FacesAnalysisModel&) const = default;
    static FacesAnalysisModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
