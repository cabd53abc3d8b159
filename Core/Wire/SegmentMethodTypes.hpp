#pragma once

// Params and results of render.segments and render.segment.

#include "Core/Wire/Contract.hpp"
#include "Core/Wire/EngineSource.hpp"
#include "Core/Plan/RenderPlan.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

enum class SegmentTrack { video, audio };

template <> struct EnumNames<SegmentTrack> {
    static constexpr std::string_view typeName = "SegmentTrack";
    static constexpr std::array<std::string_view, 2> names{"video", "audio"};
};

struct SegmentListParams {
    RenderPlan plan;
    std::map<std::string, EngineSource> sources;
    std::optional<std::map<std::string, MatteRef>> mattes;
    RenderVariant variant = RenderVariant::after;

    bool operator==(const SegmentListParams&) const = default;
    static SegmentListParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct SegmentListEntry {
    std::string key;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;
    int64_t frameCount = 0;
    bool cached = false;
    std::optional<bool> copied;

    bool operator==(const SegmentListEntry&) const = default;
    static SegmentListEntry decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct SegmentListResult {
    std::vector<SegmentListEntry> segments;

    bool operator==(const SegmentListResult&) const = default;
    static SegmentListResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct SegmentParams {
    RenderPlan plan;
    std::optional<std::map<std::string, EngineSource>> sources;
    std::optional<std::map<std::string, MatteRef>> mattes;
    std::string key;
    RenderVariant variant = RenderVariant::after;
    SegmentTrack track = SegmentTrack::video;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;
    std::string outPath;

    bool operator==(const SegmentParams&) const = default;
    static SegmentParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct SegmentResult {
    std::string key;
    std::string path;
    int64_t byteLength = 0;
    int64_t firstPtsUs = 0;
    int64_t durationUs = 0;
    int64_t frameCount = 0;
    std::optional<bool> cached;
    std::optional<bool> copied;

    bool operator==(const SegmentResult&) const = default;
    static SegmentResult decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
