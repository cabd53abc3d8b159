#pragma once

#include "Core/Wire/Contract.hpp"
#include "Core/Wire/AnalysisKind.hpp"

#include <cstdint>
#include <string>

namespace korvel {

// Results are rounded once, when a model is built; halves go away from zero.
namespace WireNumber {
// Two decimals, sign kept; non-finite values pass through.
double db(double value);
// Five decimals inside 0...1; NaN passes through, infinities clamp.
double fraction(double value);
} // namespace WireNumber

// A stretch of time in microseconds, copied as the detector gave it.
struct SpanModel {
    int64_t startUs = 0;
    int64_t endUs = 0;

    bool operator==(const SpanModel&) const = default;
    static SpanModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// A rectangle as fractions of the picture, each side rounded on its own.
struct RectModel {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;

    // Rounds each coordinate; never re-fits the box to the picture.
    static RectModel of(double x, double y, double w, double h);

    bool operator==(const RectModel&) const = default;
    static RectModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// The five keys every analysis result opens with.
struct AnalysisHeader {
    std::string kind;
    std::string assetId;
    std::string contentHash;
    std::string engineVersion;
    std::string fingerprint;

    bool operator==(const AnalysisHeader&) const = default;
    static AnalysisHeader decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// A header for a model the engine builds now.
AnalysisHeader analysisHeader(AnalysisKind kind, std::string assetId, std::string contentHash, std::string fingerprint);

namespace PlainJSON {
// What a plain encoder writes for cache files and sidecars: no formatting,
// slashes escaped.
std::string text(const JSONValue& value);
} // namespace PlainJSON

} // namespace korvel
