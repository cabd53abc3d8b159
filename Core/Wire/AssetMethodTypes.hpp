#pragma once

// Params and results of asset.probe and asset.thumbnail.

#include "Core/Plan/Canvas.hpp"
#include "Core/Wire/Contract.hpp"
#include "Core/Wire/EngineSource.hpp"

#include <cstdint>
#include <string>

namespace korvel {

enum class AssetKind { video, image, audio };

template <> struct EnumNames<AssetKind> {
    static constexpr std::string_view typeName = "AssetKind";
    static constexpr std::array<std::string_view, 3> names{"video", "image", "audio"};
};

struct AssetColor {
    std::string primaries;
    std::string transfer;
    std::string matrix;
    bool fullRange = false;
    bool hdr = false;

    bool operator==(const AssetColor&) const = default;
    static AssetColor decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct ProbeParams {
    std::string path;

    bool operator==(const ProbeParams&) const = default;
    static ProbeParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct ProbeResult {
    AssetKind kind = AssetKind::video;
    std::string contentHash;
    int64_t durationUs = 0;
    int64_t width = 0;
    int64_t height = 0;
    Nullable<FrameRate> fps;
    int64_t firstPtsUs = 0;
    bool hasAudio = false;
    Nullable<AssetColor> color;

    bool operator==(const ProbeResult&) const = default;
    static ProbeResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// maxLongEdge below 1 is refused on reading: no picture fits it.
struct ThumbnailParams {
    EngineSource source;
    int64_t atUs = 0;
    int64_t maxLongEdge = 0;
    std::string outPath;

    bool operator==(const ThumbnailParams&) const = default;
    static ThumbnailParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct ThumbnailResult {
    std::string path;
    int64_t width = 0;
    int64_t height = 0;
    int64_t ptsUs = 0;

    bool operator==(const ThumbnailResult&) const = default;
    static ThumbnailResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
