#pragma once

// Params and result of render.export.

#include "Core/Wire/Contract.hpp"
#include "Core/Wire/EngineSource.hpp"
#include "Core/Plan/RenderPlan.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace korvel {

enum class ExportCodec { h264, hevc };

template <> struct EnumNames<ExportCodec> {
    static constexpr std::string_view typeName = "ExportCodec";
    static constexpr std::array<std::string_view, 2> names{"h264", "hevc"};
};

enum class DynamicRange { sdr, keepHdr };

template <> struct EnumNames<DynamicRange> {
    static constexpr std::string_view typeName = "DynamicRange";
    static constexpr std::array<std::string_view, 2> names{"sdr", "keep_hdr"};
};

struct ExportParams {
    RenderPlan plan;
    std::optional<std::map<std::string, EngineSource>> sources;
    std::optional<std::map<std::string, MatteRef>> mattes;
    ExportCodec codec = ExportCodec::h264;
    int64_t videoBitrate = 0;
    std::optional<bool> qualityAsked;
    std::string outPath;
    std::optional<std::string> audioPath;
    std::optional<DynamicRange> dynamicRange;

    bool operator==(const ExportParams&) const = default;
    static ExportParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct ExportResult {
    std::string path;
    int64_t byteLength = 0;
    int64_t durationUs = 0;
    int64_t frameCount = 0;
    int64_t width = 0;
    int64_t height = 0;
    std::optional<bool> videoCopied;
    std::optional<bool> audioCopied;

    bool operator==(const ExportResult&) const = default;
    static ExportResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
