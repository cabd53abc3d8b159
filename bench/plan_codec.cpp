// Reads and writes a large plan through the contract bridge and prints the
// times, at half, full and double size, to show that the cost stays linear.

#include "Core/Render/RenderPlan.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

using namespace korvel;

namespace {

using Clock = std::chrono::steady_clock;

JSONValue object(std::initializer_list<std::pair<const std::string, JSONValue>> members) {
    return JSONValue(JSONValue::Object(members));
}

JSONValue rect(double x, double y, double w, double h) { return object({{"x", x}, {"y", y}, {"w", w}, {"h", h}}); }

JSONValue segment(int i) {
    int64_t start = int64_t{i} * 1000000;
    JSONValue::Array keyframes;
    for (int k = 0; k < 3; ++k) {
        keyframes.push_back(object({{"outUs", start + k * 400000},
                                    {"center", object({{"x", 0.4 + 0.01 * k}, {"y", 0.5 - 0.02 * k}})},
                                    {"scale", 1.0 + 0.1 * k}}));
    }
    return object({{"assetId", "asset-" + std::to_string(i % 40)},
                   {"srcStartUs", start},
                   {"srcEndUs", start + 1000000},
                   {"outStartUs", start},
                   {"outEndUs", start + 1000000},
                   {"speed", i % 7 == 0 ? 1.5 : 1.0},
                   {"transform", object({{"keyframes", JSONValue(std::move(keyframes))}})},
                   {"transitionIn", i % 5 == 0 ? object({{"style", "smooth"}, {"durationUs", 300000}}) : JSONValue()}});
}

JSONValue textItem(int i) {
    int64_t start = int64_t{i} * 400000;
    JSONValue::Array lines;
    for (int l = 0; l < 2; ++l) {
        JSONValue::Array runs;
        for (int r = 0; r < 4; ++r) {
            int64_t at = start + (l * 4 + r) * 50000;
            runs.push_back(object({{"text", "word" + std::to_string(r)},
                                   {"outStartUs", at},
                                   {"outEndUs", at + 50000},
                                   {"keyword", r == 2},
                                   {"enterUs", at}}));
        }
        lines.push_back(object({{"runs", JSONValue(std::move(runs))}}));
    }
    return object({{"id", "text-" + std::to_string(i)},
                   {"role", "caption"},
                   {"outStartUs", start},
                   {"outEndUs", start + 400000},
                   {"lines", JSONValue(std::move(lines))},
                   {"box", rect(0.08, 0.62, 0.84, 0.2)},
                   {"style", object({{"font", "montserrat"},
                                     {"weight", 800},
                                     {"italic", false},
                                     {"sizePct", 7.5},
                                     {"lineHeight", 1.15},
                                     {"letterSpacingEm", -0.01},
                                     {"color", "#ffffff"},
                                     {"shadow", object({{"offsetYPct", 0.4},
                                                        {"blurPct", 1.2},
                                                        {"color", "#000000"},
                                                        {"opacity", 0.6}})}})},
                   {"activeWordHighlight", true},
                   {"highlight", object({{"background", "#ffd400"}, {"color", "#111111"}})},
                   {"entrance", "pop"}});
}

JSONValue plan(int segments, int textItems) {
    JSONValue::Array segs, items, timeMap;
    for (int i = 0; i < segments; ++i) segs.push_back(segment(i));
    for (int i = 0; i < textItems; ++i) items.push_back(textItem(i));
    for (int i = 0; i < segments; ++i) {
        int64_t start = int64_t{i} * 1000000;
        timeMap.push_back(object({{"assetId", "asset-" + std::to_string(i % 40)},
                                  {"srcStartUs", start},
                                  {"srcEndUs", start + 1000000},
                                  {"outStartUs", start},
                                  {"outEndUs", start + 1000000},
                                  {"speed", 1}}));
    }
    JSONValue easing = object({{"x1", 0.2}, {"y1", 0.9}, {"x2", 0.3}, {"y2", 1.2}});
    return object({
        {"version", 3},
        {"canvas", object({{"format", "vertical"}, {"width", 1080}, {"height", 1920},
                           {"fps", object({{"num", 30}, {"den", 1}})}})},
        {"segments", JSONValue(std::move(segs))},
        {"videoOverlays", JSONValue(JSONValue::Array{})},
        {"textItems", JSONValue(std::move(items))},
        {"colorStack", JSONValue(JSONValue::Array{object({{"kind", "look"}, {"look", "warm"}, {"strength", 0.5}})})},
        {"background", JSONValue()},
        {"audioMix", object({{"tracks", JSONValue(JSONValue::Array{})}, {"targetLufs", -14}, {"truePeakDb", -1}})},
        {"timeMap", object({{"entries", JSONValue(std::move(timeMap))}})},
        {"durationUs", int64_t{segments} * 1000000},
        {"textEntrances", object({{"pop", object({{"durationUs", 250000},
                                                  {"easing", easing},
                                                  {"from", object({{"opacity", 0}, {"shiftYShare", 0.3},
                                                                   {"scale", 0.8}, {"blurPct", 0.5}})},
                                                  {"fade", object({{"durationUs", 150000}, {"easing", easing}})}})}})},
    });
}

// Best of a few rounds; each result is kept until after its clock stops, so
// freeing the previous round's tree is not counted.
template <class F> double bestMs(int rounds, F&& body) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        auto result = body();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return best;
}

} // namespace

int main() {
    std::printf("%-10s %-10s %12s %12s %12s %12s %14s\n", "segments", "textItems", "decode ms", "encode ms",
                "parse ms", "write ms", "bytes");
    for (double factor : {0.5, 1.0, 2.0}) {
        int segments = static_cast<int>(2000 * factor);
        int textItems = static_cast<int>(5000 * factor);
        JSONValue json = plan(segments, textItems);
        std::string text = json.canonical();

        double decodeMs = bestMs(5, [&] { return decoded<RenderPlan>(json); });
        RenderPlan decodedPlan = decoded<RenderPlan>(json);
        double encodeMs = bestMs(5, [&] { return encoding(decodedPlan); });
        JSONValue written = encoding(decodedPlan);
        if (decoded<RenderPlan>(written) != decodedPlan) {
            std::fprintf(stderr, "round trip changed the plan\n");
            return 1;
        }
        // The protocol's own text steps, for scale.
        double parseMs = bestMs(5, [&] { return JSONValue::parsing(text); });
        double writeMs = bestMs(5, [&] { return written.canonical(); });
        std::printf("%-10d %-10d %12.2f %12.2f %12.2f %12.2f %14zu\n", segments, textItems, decodeMs, encodeMs, parseMs,
                    writeMs, text.size());
    }
    return 0;
}
