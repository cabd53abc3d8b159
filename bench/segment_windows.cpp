// Cuts a one-hour, 30 fps plan of 500 segments into segment windows with keys.
#include "Core/Digest.hpp"
#include "Core/Engine.hpp"
#include "Core/Windows/SegmentWindows.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace korvel;
namespace SW = korvel::SegmentWindows;

namespace {

constexpr int64_t hourUs = 3600LL * 1000000;
constexpr int segmentCount = 500;
constexpr int sourceCount = 10;

struct Fixture {
    RenderPlan plan;
    std::map<std::string, PTSTable, std::less<>> tables;
    SW::Sources sources;
    SW::Copyables copyable;
};

Fixture makeFixture() {
    Fixture f;
    f.plan.version = 1;
    f.plan.canvas = {VideoFormat::vertical, 1080, 1920, {30, 1}};
    f.plan.durationUs = hourUs;
    for (int i = 0; i < sourceCount; ++i) {
        std::string id = "src" + std::to_string(i);
        std::vector<int64_t> pts(108000);
        for (size_t k = 0; k < pts.size(); ++k) pts[k] = static_cast<int64_t>(k) * 1000;
        f.tables[id] = PTSTable(30000, pts, 108000LL * 1000);
        f.sources[id] = {"/media/" + id + ".mp4", Digest::sha256(id)};
        CopyableSource c;
        c.timescale = 30000;
        for (int64_t s = 0; s < 3600; ++s) {
            c.syncTicks.push_back(s * 30000);
            c.bytesBefore.push_back(s * 1500000);
        }
        c.totalBytes = 3600LL * 1500000;
        c.endTicks = 108000LL * 1000;
        f.copyable[id] = c;
    }
    uint64_t seed = 12345;
    auto next = [&] { return seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; };
    const int64_t length = hourUs / segmentCount;
    for (int i = 0; i < segmentCount; ++i) {
        Segment s;
        s.assetId = "src" + std::to_string(next() % sourceCount);
        s.srcStartUs = static_cast<int64_t>(next() % 3000) * 1000000 + static_cast<int64_t>(next() % 1000000);
        s.outStartUs = i * length;
        s.outEndUs = (i + 1) * length;
        s.speed = i % 7 == 0 ? 1.5 : 1.0;
        s.srcEndUs = s.srcStartUs + static_cast<int64_t>(static_cast<double>(length) * s.speed);
        if (i % 3 == 0) s.transform.keyframes = {{s.outStartUs, {0.5, 0.5}, 1.0}, {s.outEndUs, {0.45, 0.5}, 1.2}};
        if (i % 5 == 0 && i > 0) s.transitionIn = TransitionIn{TransitionStyle::smooth, 300000};
        f.plan.segments.push_back(s);
    }
    // A caption every 3 seconds through the first half.
    for (int64_t t = 0; t < hourUs / 2; t += 3000000) {
        TextItem item;
        item.id = "c" + std::to_string(t);
        item.outStartUs = t;
        item.outEndUs = t + 2500000;
        item.box = {0.1, 0.7, 0.8, 0.2};
        item.style.color = "#FFFFFF";
        item.lines = {TextLine{{TextRun{"word", t, t + 1000000, false, std::nullopt},
                                TextRun{"words", t + 1000000, t + 2500000, true, std::nullopt}},
                               std::nullopt}};
        f.plan.textItems.push_back(item);
    }
    ColorStep grade;
    grade.kind = ColorStep::Look{"warm", 0.4};
    grade.outStartUs = hourUs / 4;
    grade.outEndUs = hourUs / 3;
    f.plan.colorStack.push_back(grade);
    return f;
}

template <class F> double medianMilliseconds(int runs, F&& body) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        body();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main() {
    Fixture f = makeFixture();
    const std::string engine = Engine::renderId(1);
    for (RenderVariant variant : {RenderVariant::after, RenderVariant::before}) {
        for (bool withCopies : {false, true}) {
            RenderPlan resolved = f.plan.resolved(variant);
            ResolvedTimeline timeline(resolved, f.tables, {});
            const SW::Copyables none;
            const SW::Copyables& copyable = withCopies ? f.copyable : none;
            size_t windows = 0, copies = 0;
            double listMs = medianMilliseconds(9, [&] {
                auto list = SW::list(resolved, timeline, f.sources, {}, variant, engine, copyable);
                windows = list.size();
                copies = static_cast<size_t>(std::count_if(list.begin(), list.end(), [](auto& w) { return w.copy; }));
            });
            // The timeline keeps its own copy of the tables: 1.08M presentation times here.
            double resolveMs = medianMilliseconds(9, [&] { ResolvedTimeline(resolved, f.tables, {}); });
            std::printf("segment_windows variant=%-6s copyable=%-3s segments=%d windows=%zu copies=%zu "
                        "list=%.2f ms resolve+table-copy=%.2f ms\n",
                        variant == RenderVariant::after ? "after" : "before", withCopies ? "yes" : "no",
                        segmentCount, windows, copies, listMs, resolveMs);
        }
    }
    return 0;
}
