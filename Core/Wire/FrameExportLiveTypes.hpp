#pragma once

// Params and results of render.frame, render.export and render.live.

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

// maxLongEdge below 1 is refused on reading: no picture fits it.
struct FrameParams {
    RenderPlan plan;
    std::optional<std::map<std::string, EngineSource>> sources;
    std::optional<std::map<std::string, MatteRef>> mattes;
    RenderVariant variant = RenderVariant::after;
    int64_t atUs = 0;
    int64_t maxLongEdge = 0;
    std::string outPath;

    bool operator==(const FrameParams&) const = default;
    static FrameParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct FrameResult {
    std::string path;
    int64_t width = 0;
    int64_t height = 0;
    int64_t ptsUs = 0;

    bool operator==(const FrameResult&) const = default;
    static FrameResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
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

// A maxLongEdge that is given must be at least 1.
struct LiveParams {
    RenderPlan plan;
    std::optional<std::map<std::string, EngineSource>> sources;
    std::optional<std::map<std::string, MatteRef>> mattes;
    std::optional<std::string> audioPath;
    std::optional<int64_t> maxLongEdge;
    std::optional<bool> sound;

    bool operator==(const LiveParams&) const = default;
    static LiveParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct LiveResult {
    std::string id;
    int64_t durationUs = 0;
    int64_t frameCount = 0;
    int64_t width = 0;
    int64_t height = 0;
    std::string structure;

    bool operator==(const LiveResult&) const = default;
    static LiveResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
