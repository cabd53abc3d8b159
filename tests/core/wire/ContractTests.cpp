#include "Core/Wire/AssetMethodTypes.hpp"
#include "Core/Wire/FrameMethodTypes.hpp"
#include "Core/Wire/ExportMethodTypes.hpp"
#include "Core/Wire/LiveMethodTypes.hpp"
#include "Core/Wire/SegmentMethodTypes.hpp"
#include "Core/Wire/TextMethodTypes.hpp"
#include "tests/core/plan/PlanFixture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

using namespace korvel;
using namespace korvel::fixture;

namespace {

JSONValue parse(std::string_view text) { return JSONValue::parsing(text); }

// Params text with "$PLAN" standing for the full plan fixture.
JSONValue params(std::string text) {
    auto at = text.find("$PLAN");
    if (at != std::string::npos) text.replace(at, 5, fullPlanJSON);
    return parse(text);
}

template <class T> std::function<void(const JSONValue&)> reads() {
    return [](const JSONValue& v) { (void)decoded<T>(v); };
}

} // namespace

TEST(Contract, FailuresCarryTheExactReason) {
    struct Case {
        const char* method;
        std::function<void(const JSONValue&)> read;
        std::string params;
        const char* reason;
    };
    const std::string source = R"("source":{"path":"/m/a.mov","contentHash":"ab"})";
    const Case cases[] = {
        {"asset.probe", reads<ProbeParams>(), "{}", "missing .path"},
        {"asset.probe", reads<ProbeParams>(), R"("a.mov")", ": Expected an object but found a string instead."},
        {"asset.probe", reads<ProbeParams>(), "null", ": Expected an object but found null instead."},
        {"asset.probe", reads<ProbeParams>(), R"({"path":5})", "path: Expected a string but found a number instead."},
        {"asset.probe", reads<ProbeParams>(), R"({"path":null})", "path: Expected a string but found null instead."},
        {"asset.thumbnail", reads<ThumbnailParams>(), R"({"source":{"path":"/m/a.mov"},"atUs":0})",
         "missing source.contentHash"},
        {"asset.thumbnail", reads<ThumbnailParams>(), R"({"source":"/m/a.mov"})",
         "source: Expected an object but found a string instead."},
        {"asset.thumbnail", reads<ThumbnailParams>(), "{" + source + R"(,"atUs":2.5,"maxLongEdge":320,"outPath":"/o"})",
         "atUs: The number 2.5 is not a 64-bit integer."},
        {"asset.thumbnail", reads<ThumbnailParams>(), "{" + source + R"(,"atUs":1e19,"maxLongEdge":320,"outPath":"/o"})",
         "atUs: The number 1e+19 is not a 64-bit integer."},
        {"render.segments", reads<SegmentListParams>(), R"({"plan":$PLAN,"variant":"after"})", "missing .sources"},
        {"render.segments", reads<SegmentListParams>(),
         R"({"plan":$PLAN,"sources":{"interview":{"path":"/m/i.mov"}},"variant":"after"})",
         "missing sources.interview.contentHash"},
        {"render.segments", reads<SegmentListParams>(),
         R"({"plan":$PLAN,"sources":{},"mattes":{"m1":{"assetId":"a","path":"/m","greenScreen":"yes"}},"variant":"after"})",
         "mattes.m1.greenScreen: Expected a boolean but found a string instead."},
        {"render.segments", reads<SegmentListParams>(), R"({"plan":$PLAN,"sources":{},"variant":"Before"})",
         "variant: Unknown RenderVariant value \"Before\"."},
        {"render.segment", reads<SegmentParams>(), R"({"outPath":"/o"})", "missing .plan"},
        {"render.segment", reads<SegmentParams>(),
         R"({"plan":$PLAN,"key":"k","variant":"after","track":"both","outStartUs":0,"outEndUs":1,"outPath":"/o"})",
         "track: Unknown SegmentTrack value \"both\"."},
        {"render.frame", reads<FrameParams>(), R"({"plan":$PLAN,"atUs":0,"maxLongEdge":640,"outPath":"/o"})",
         "missing .variant"},
        {"render.export", reads<ExportParams>(), R"({"plan":$PLAN,"codec":"hevc","outPath":"/o"})",
         "missing .videoBitrate"},
        {"render.export", reads<ExportParams>(), R"({"plan":$PLAN,"codec":"H264","videoBitrate":1,"outPath":"/o"})",
         "codec: Unknown ExportCodec value \"H264\"."},
        {"render.export", reads<ExportParams>(),
         R"({"plan":$PLAN,"codec":"hevc","videoBitrate":1,"outPath":"/o","dynamicRange":"keepHdr"})",
         "dynamicRange: Unknown DynamicRange value \"keepHdr\"."},
        {"render.live", reads<LiveParams>(), R"({"sources":{}})", "missing .plan"},
        {"render.measureText", reads<TextMeasureParams>(), R"({"plan":{"version":1}})", "missing plan.canvas"},
        {"render.textLayout", reads<TextLayoutParams>(), R"({"plan":$PLAN})", "missing .ids"},
        {"render.textLayout", reads<TextLayoutParams>(), R"({"plan":$PLAN,"ids":["cap-1",null]})",
         "ids.Index 1: Expected a string but found null instead."},
    };
    for (const auto& c : cases) {
        try {
            c.read(params(c.params));
            ADD_FAILURE() << c.method << " read " << c.params;
        } catch (const EngineFailure& failure) {
            EXPECT_EQ(failure.code, -32602) << c.method;
            EXPECT_EQ(failure.message, std::string("Params do not match the contract: ") + c.reason) << c.method;
        }
    }
}

// A bound below one pixel has no picture that fits it.
TEST(Contract, RefusesSizeBoundsBelowOne) {
    struct Case {
        std::function<void(const JSONValue&)> read;
        std::string params;
        const char* reason;
    };
    const Case cases[] = {
        {reads<ThumbnailParams>(),
         R"({"source":{"path":"/a","contentHash":"h"},"atUs":0,"maxLongEdge":0,"outPath":"/o"})",
         "maxLongEdge: Expected an integer of at least 1 but found 0."},
        {reads<FrameParams>(), R"({"plan":$PLAN,"variant":"after","atUs":0,"maxLongEdge":-640,"outPath":"/o"})",
         "maxLongEdge: Expected an integer of at least 1 but found -640."},
        {reads<LiveParams>(), R"({"plan":$PLAN,"maxLongEdge":0})",
         "maxLongEdge: Expected an integer of at least 1 but found 0."},
    };
    for (const auto& c : cases) {
        try {
            c.read(params(c.params));
            ADD_FAILURE() << c.params;
        } catch (const EngineFailure& failure) {
            EXPECT_EQ(failure.code, -32602);
            EXPECT_EQ(failure.message, std::string("Params do not match the contract: ") + c.reason);
        }
    }
    auto thumbnail = decoded<ThumbnailParams>(
        parse(R"({"source":{"path":"/a","contentHash":"h"},"atUs":0,"maxLongEdge":1,"outPath":"/o"})"));
    EXPECT_EQ(thumbnail.maxLongEdge, 1);
    EXPECT_FALSE(decoded<LiveParams>(params(R"({"plan":$PLAN,"maxLongEdge":null})")).maxLongEdge);
}

TEST(Contract, PresenceRulesOnReading) {
    // Extra keys are ignored; an optional null reads as absent.
    auto probe = decoded<ProbeParams>(parse(R"({"path":"/m/a.mov","priority":"background"})"));
    EXPECT_EQ(probe.path, "/m/a.mov");

    auto matte = decoded<MatteRef>(parse(R"({"assetId":"a","path":"/m","greenScreen":null})"));
    EXPECT_EQ(matte, (MatteRef{"a", "/m", std::nullopt}));

    auto live = decoded<LiveParams>(params(R"({"plan":$PLAN})"));
    EXPECT_FALSE(live.sources);
    EXPECT_FALSE(live.audioPath);
    EXPECT_FALSE(live.sound);

    auto exported = decoded<ExportParams>(params(R"({"plan":$PLAN,"codec":"hevc","videoBitrate":8000000,"outPath":"/o"})"));
    EXPECT_FALSE(exported.dynamicRange);
    EXPECT_FALSE(exported.qualityAsked);
    exported = decoded<ExportParams>(
        params(R"({"plan":$PLAN,"codec":"hevc","videoBitrate":8000000,"outPath":"/o","dynamicRange":"keep_hdr"})"));
    EXPECT_EQ(exported.dynamicRange, DynamicRange::keepHdr);

    auto segment = decoded<SegmentParams>(
        params(R"({"plan":$PLAN,"key":"k","variant":"before","track":"audio","outStartUs":0,"outEndUs":1,"outPath":"/o"})"));
    EXPECT_FALSE(segment.sources);
    EXPECT_EQ(segment.track, SegmentTrack::audio);

    // A ProbeResult needs its Nullable keys even when they hold nothing.
    EXPECT_THROW(decoded<ProbeResult>(parse(R"({"kind":"audio","contentHash":"h","durationUs":1,"width":0,"height":0,)"
                                            R"("firstPtsUs":0,"hasAudio":true,"color":null})")),
                 EngineFailure);
}

TEST(Contract, NumbersFollowTheJSONValueModel) {
    // "2.0" on the wire is already the integer 2.
    auto thumbnail = decoded<ThumbnailParams>(
        parse(R"({"source":{"path":"/a","contentHash":"h"},"atUs":2.0,"maxLongEdge":320,"outPath":"/o"})"));
    EXPECT_EQ(thumbnail.atUs, 2);
    // A value built in code may hold 2.0 as a double; as text it would read
    // as the integer 2, so it reads so here too. 2.5 and 2^63 still do not.
    JSONValue built = parse(R"({"source":{"path":"/a","contentHash":"h"},"atUs":0,"maxLongEdge":320,"outPath":"/o"})");
    built.objectPtr()->insert_or_assign("atUs", JSONValue(2.0));
    EXPECT_EQ(decoded<ThumbnailParams>(built).atUs, 2);
    built.objectPtr()->insert_or_assign("atUs", JSONValue(-9223372036854775808.0));
    EXPECT_EQ(decoded<ThumbnailParams>(built).atUs, std::numeric_limits<int64_t>::min());
    for (double bad : {2.5, 9223372036854775808.0}) {
        built.objectPtr()->insert_or_assign("atUs", JSONValue(bad));
        EXPECT_THROW(decoded<ThumbnailParams>(built), EngineFailure) << bad;
    }
    // Integers read into floating fields unchanged.
    auto row = decoded<TextLayoutRow>(parse(R"({"planLine":0,"x":1,"y":-3,"width":2,"height":4,"fontSize":9007199254740993,)"
                                            R"("lineHeight":4,"letterSpacing":0,"wordSpacing":0.5,"uppercase":false})"));
    EXPECT_EQ(row.x, 1.0);
    EXPECT_EQ(row.y, -3.0);
    EXPECT_EQ(row.fontSize, 9007199254740992.0);
}

TEST(Contract, WritingFollowsThePresenceRules) {
    struct Case {
        JSONValue written;
        const char* expected;
    };
    const Case cases[] = {
        {encoding(ProbeResult{AssetKind::audio, "h", 5000, 0, 0, std::nullopt, 0, true, std::nullopt}),
         R"({"color":null,"contentHash":"h","durationUs":5000,"firstPtsUs":0,"fps":null,"hasAudio":true,"height":0,"kind":"audio","width":0})"},
        {encoding(ProbeResult{AssetKind::video, "h", 1, 2, 3, FrameRate{25, 1}, 4, false,
                              AssetColor{"bt709", "bt709", "bt709", false, false}}),
         R"({"color":{"fullRange":false,"hdr":false,"matrix":"bt709","primaries":"bt709","transfer":"bt709"},)"
         R"("contentHash":"h","durationUs":1,"firstPtsUs":4,"fps":{"den":1,"num":25},"hasAudio":false,"height":3,"kind":"video","width":2})"},
        {encoding(MatteRef{"a", "/m", std::nullopt}), R"({"assetId":"a","path":"/m"})"},
        {encoding(SegmentListEntry{"k", 0, 1000000, 30, true, std::nullopt}),
         R"({"cached":true,"frameCount":30,"key":"k","outEndUs":1000000,"outStartUs":0})"},
        {encoding(SegmentListEntry{"k", 0, 1000000, 30, false, true}),
         R"({"cached":false,"copied":true,"frameCount":30,"key":"k","outEndUs":1000000,"outStartUs":0})"},
        {encoding(SegmentResult{"k", "/o", 10, 0, 1000, 3, std::nullopt, std::nullopt}),
         R"({"byteLength":10,"durationUs":1000,"firstPtsUs":0,"frameCount":3,"key":"k","path":"/o"})"},
        {encoding(ExportResult{"/o.mp4", 10, 1000, 3, 1080, 1920, std::nullopt, std::nullopt}),
         R"({"byteLength":10,"durationUs":1000,"frameCount":3,"height":1920,"path":"/o.mp4","width":1080})"},
        {encoding(TextMeasure{"cap", 2, 1.0, 0, std::nullopt}),
         R"({"id":"cap","issue":null,"lines":2,"overflowPx":0,"scale":1})"},
        {encoding(TextMeasure{"cap", 4, 0.4, 12.5, TextMeasureIssue::overflow}),
         R"({"id":"cap","issue":"overflow","lines":4,"overflowPx":12.5,"scale":0.4})"},
        {encoding(LiveResult{"live-1", 9000000, 270, 540, 960, "v:2 a:1"}),
         R"({"durationUs":9000000,"frameCount":270,"height":960,"id":"live-1","structure":"v:2 a:1","width":540})"},
        {encoding(TextMeasureResult{}), R"({"items":[]})"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.written.canonical(), c.expected);
}

TEST(Contract, ResultsReadBackEqual) {
    TextLayoutResult layout{{TextLayoutItem{"t", 10.5, 20, 300.25, 80, 0.7,
                                            {TextLayoutRow{0, 10.5, 20, 300.25, 40, 32, 40, 0.5, 8, false},
                                             TextLayoutRow{1, 12, 60, 296, 40, 18.5, 40, -0.4, 4, true}}}}};
    EXPECT_EQ(decoded<TextLayoutResult>(encoding(layout)), layout);
    TextMeasureResult measured{{{"a", 0, 1.0, 0, TextMeasureIssue::noGlyph}, {"b", 1, 0.55, 0, std::nullopt}}};
    EXPECT_EQ(decoded<TextMeasureResult>(encoding(measured)), measured);
    EXPECT_FALSE(decoded<TextMeasure>(parse(R"({"id":"x","lines":1,"scale":1,"overflowPx":0})")).issue);
    SegmentListResult list{{{"k1", 0, 1, 1, false, true}, {"k2", 1, 2, 1, true, std::nullopt}}};
    EXPECT_EQ(decoded<SegmentListResult>(encoding(list)), list);
}

TEST(Contract, DoublesAreWrittenAsTextWouldReadThem) {
    struct Case {
        double value;
        JSONValue expected;
    };
    const Case cases[] = {
        {2.0, JSONValue(2)},
        {-0.0, JSONValue(0)},
        {2.5, JSONValue(2.5)},
        {1e19, JSONValue(1e19)},
        {-9223372036854775808.0, JSONValue(std::numeric_limits<int64_t>::min())},
        {9223372036854775808.0, JSONValue(9223372036854775808.0)},
    };
    for (const auto& c : cases) EXPECT_EQ(encoding(c.value), c.expected) << c.value;

    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        EXPECT_THROW(encoding(TextMeasure{"x", 1, bad, 0, std::nullopt}), JSONEncodingError);
    }
}

TEST(Contract, EnumsConvertThroughOneTable) {
    EXPECT_EQ(rawValue(DynamicRange::keepHdr), "keep_hdr");
    EXPECT_EQ(fromRawValue<DynamicRange>("keep_hdr"), DynamicRange::keepHdr);
    EXPECT_FALSE(fromRawValue<DynamicRange>("keepHdr"));
    EXPECT_FALSE(fromRawValue<AssetKind>("Video"));
    EXPECT_EQ(fromRawValue<SegmentTrack>("audio"), SegmentTrack::audio);
    EXPECT_EQ(std::hash<FrameRate>{}(FrameRate{30000, 1001}), std::hash<FrameRate>{}(FrameRate{30000, 1001}));
    EXPECT_NE(std::hash<FrameRate>{}(FrameRate{30000, 1001}), std::hash<FrameRate>{}(FrameRate{1001, 30000}));
}

namespace {
// A record that carries raw JSON, as results of other method tables do.
struct Carried {
    JSONValue analysis;
    std::optional<JSONValue> extra;
    bool operator==(const Carried&) const = default;
    static Carried decode(const JSONReader& in) {
        Carried c;
        in.read("analysis", c.analysis);
        in.read("extra", c.extra);
        return c;
    }
    void encode(JSONWriter& out) const {
        out.write("analysis", analysis);
        out.write("extra", extra);
    }
};
} // namespace

TEST(Contract, RawJSONFieldsCarryNullButNeedTheirKey) {
    EXPECT_EQ(decoded<Carried>(parse(R"({"analysis":null})")), (Carried{JSONValue(), std::nullopt}));
    EXPECT_EQ(encoding(Carried{JSONValue(), std::nullopt}).canonical(), R"({"analysis":null})");
    auto c = decoded<Carried>(parse(R"({"analysis":{"a":[1,"x"]},"extra":3})"));
    EXPECT_EQ(c.analysis, parse(R"({"a":[1,"x"]})"));
    EXPECT_EQ(c.extra, JSONValue(3));
    EXPECT_THROW(decoded<Carried>(parse("{}")), EngineFailure);
}

// Every system call stops at a NUL: "/m/Precious\u0000.jpg" would name the
// folder /m/Precious. Path fields refuse it; other text keeps it.
TEST(Contract, PathFieldsRefuseNul) {
    struct Case {
        std::function<void(const JSONValue&)> read;
        std::string params;
        const char* reason;
    };
    const std::string nul = "\\u0000";
    const std::string source = R"("source":{"path":"/m/a.mov","contentHash":"ab"})";
    const Case cases[] = {
        {reads<ProbeParams>(), R"({"path":"/m/small.mp4)" + nul + R"(x"})", "path"},
        {reads<ThumbnailParams>(), "{" + source + R"(,"atUs":0,"maxLongEdge":320,"outPath":"/m/Precious)" + nul + R"(.jpg"})",
         "outPath"},
        {reads<ThumbnailParams>(), R"({"source":{"path":"/m/a)" + nul + R"(","contentHash":"ab"},"atUs":0,"maxLongEdge":1,"outPath":"/o.jpg"})",
         "source.path"},
        {reads<FrameParams>(), R"({"plan":$PLAN,"variant":"after","atUs":0,"maxLongEdge":640,"outPath":")" + nul + R"("})",
         "outPath"},
        {reads<ExportParams>(),
         R"({"plan":$PLAN,"codec":"hevc","videoBitrate":1,"outPath":"/o.mp4","audioPath":"/a)" + nul + R"(.m4a"})",
         "audioPath"},
        {reads<SegmentListParams>(),
         R"({"plan":$PLAN,"sources":{"interview":{"path":"/m/i)" + nul + R"(","contentHash":"h"}},"variant":"after"})",
         "sources.interview.path"},
        {reads<SegmentListParams>(),
         R"({"plan":$PLAN,"sources":{},"mattes":{"m1":{"assetId":"a","path":"/m)" + nul + R"(","greenScreen":true}},"variant":"after"})",
         "mattes.m1.path"},
    };
    for (const auto& c : cases) {
        try {
            c.read(params(c.params));
            ADD_FAILURE() << c.params;
        } catch (const EngineFailure& failure) {
            EXPECT_EQ(failure.code, -32602) << c.params;
            EXPECT_EQ(failure.message, std::string("Params do not match the contract: ") + c.reason +
                                           ": A file path can't hold the character U+0000.");
        }
    }
    auto ids = decoded<TextLayoutParams>(params(R"({"plan":$PLAN,"ids":["cap)" + nul + R"(1"]})"));
    EXPECT_EQ(ids.ids.at(0), std::string("cap\0" "1", 5));
}
