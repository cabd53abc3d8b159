#include "Core/Timeline/FrameGrid.hpp"
#include "Core/Timeline/FrameTimings.hpp"
#include "Core/Timeline/PTSTable.hpp"
#include "Core/Time.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(FrameGrid, TimescaleFollowsTheRate) {
    struct Case { FrameRate fps; int32_t timescale; int64_t ticks; };
    for (auto c : {Case{{30, 1}, 30000, 1000}, Case{{60000, 1001}, 60000, 1001}, Case{{30000, 1001}, 30000, 1001},
                   Case{{25, 1}, 25000, 1000}}) {
        FrameGrid g(c.fps);
        EXPECT_EQ(g.timescale, c.timescale);
        EXPECT_EQ(g.ticksPerFrame, c.ticks);
    }
    EXPECT_DOUBLE_EQ(FrameGrid({25, 1}).frameDurationSeconds(), 0.04);
}

TEST(FrameGrid, RoundsHalvesUpInIntegers) {
    struct Case { FrameRate fps; int64_t us; int64_t frame; };
    for (auto c : {Case{{30, 1}, 0, 0}, Case{{30, 1}, 16666, 0}, Case{{30, 1}, 16667, 1},
                   Case{{25, 1}, 20000, 1}, Case{{25, 1}, 19999, 0}, Case{{30000, 1001}, 1001000, 30},
                   Case{{30, 1}, 3600000000, 108000}}) {
        EXPECT_EQ(FrameGrid(c.fps).frame(c.us), c.frame) << c.us;
        EXPECT_EQ(FrameGrid(c.fps).frameCount(c.us), c.frame) << c.us;
    }
    FrameGrid g({30, 1});
    EXPECT_EQ(g.frameContaining(33332), 0);
    EXPECT_EQ(g.frameContaining(33333), 1);
    EXPECT_EQ(g.us(1), 33333);
    EXPECT_EQ(g.us(2), 66667);
    EXPECT_EQ(FrameGrid({30000, 1001}).us(30), 1001000);
}

TEST(FrameGrid, WideProductsAreExactAndOutOfRangeIsRefused) {
    FrameGrid g({30, 1});
    // 2·us·num passes 2^63 on the way; the frame itself fits.
    int64_t us = int64_t{1} << 61;
    EXPECT_EQ(g.frame(us), static_cast<int64_t>((static_cast<__int128>(2) * us * 30 + 1000000) / 2000000));
    EXPECT_EQ(g.frameContaining(us), static_cast<int64_t>((static_cast<__int128>(2) * us + 1) * 30 / 2000000));
    // The start of a frame that far out is not a 64-bit microsecond count.
    EXPECT_THROW(g.us(int64_t{1} << 60), TimeOverflow);
    EXPECT_THROW(FrameGrid({30, INT64_MAX}).us(INT64_MAX), TimeOverflow);
}

TEST(FrameGrid, RefusesRatesWithoutAGrid) {
    for (FrameRate fps : {FrameRate{0, 1}, FrameRate{30, 0}, FrameRate{-30, 1}, FrameRate{3000000, 1},
                          FrameRate{int64_t{INT32_MAX} + 1, 1001}, FrameRate{INT64_MAX, 1}}) {
        EXPECT_THROW(FrameGrid{fps}, TimeOverflow) << fps.num << "/" << fps.den;
    }
    EXPECT_NO_THROW(FrameGrid({2147483, 1}));
}

TEST(PTSTable, NearestIndexTiesGoEarlier) {
    PTSTable t(30000, {0, 1000, 2000}, 3000);
    struct Case { int64_t ticks; int64_t index; };
    for (auto c : {Case{500, 0}, Case{501, 1}, Case{5000, 2}, Case{-7, 0}, Case{1500, 1}, Case{INT64_MAX, 2},
                   Case{INT64_MIN, 0}}) {
        EXPECT_EQ(t.nearestIndex(c.ticks), c.index) << c.ticks;
    }
    EXPECT_EQ(PTSTable(30000, {7}, 1000).nearestIndex(9999), 0);
    EXPECT_EQ(t.nearestIndexToUs(33334), 1);
}

TEST(PTSTable, IndexOnScreen) {
    PTSTable t(30000, {0, 1000}, 2000);
    EXPECT_EQ(t.indexOnScreen(999), 0);
    EXPECT_EQ(t.indexOnScreen(1000), 1);
    EXPECT_EQ(t.indexOnScreen(-5), 0);
    EXPECT_EQ(PTSTable(30000, {0, 1000, 2000, 3000}, 4000).indexOnScreen(2999), 2);
}

TEST(PTSTable, ConversionsRoundHalvesAwayFromZero) {
    PTSTable t(90000, {3003}, 6006);
    EXPECT_EQ(t.us(3003), 33367);
    EXPECT_EQ(t.firstPtsUs(), 33367);
    EXPECT_EQ(PTSTable().firstPtsUs(), 0);
    EXPECT_EQ(PTSTable(2, {}, 0).us(1), 500000);
    EXPECT_EQ(PTSTable(2, {}, 0).us(-1), -500000);
    EXPECT_EQ(PTSTable(1000, {}, 0).ticks(1500), 2);
    EXPECT_EQ(PTSTable(1000, {}, 0).ticks(-1500), -2);
    EXPECT_THROW(PTSTable(1000, {}, 0).us(INT64_MAX), TimeOverflow);
}

TEST(PTSTable, MiddleOfFrame) {
    EXPECT_EQ(PTSTable(30000, {0}, 1001).middleOfFrameTicks(), 500);
    EXPECT_EQ(PTSTable(30000, {0, 1001, 2002}, 3003).middleOfFrameTicks(), 500);
    EXPECT_EQ(PTSTable(30000, {}, 0).middleOfFrameTicks(), 0);
}

TEST(PTSTable, MeasuredFrameRate) {
    auto table = [](int64_t step, int count) {
        std::vector<int64_t> pts;
        for (int i = 0; i < count; ++i) pts.push_back(i * step);
        return PTSTable(30000, pts, count * step);
    };
    EXPECT_EQ(table(1001, 301).measuredFrameRate(), (FrameRate{30000, 1001}));
    EXPECT_EQ(table(1000, 301).measuredFrameRate(), (FrameRate{30, 1}));
    EXPECT_EQ(table(1500, 301).measuredFrameRate(), (FrameRate{20, 1}));
    EXPECT_EQ(table(1250, 301).measuredFrameRate(), (FrameRate{24, 1}));
    EXPECT_EQ(table(1000, 1).measuredFrameRate(), std::nullopt);
    EXPECT_EQ(PTSTable(30000, {5, 5}, 6).measuredFrameRate(), std::nullopt);
}

TEST(FrameTimings, NotesAndAdds) {
    FrameTimings t(33.3);
    t.note(10);
    t.note(40);
    EXPECT_EQ(t.frames, 2);
    EXPECT_EQ(t.late, 1);
    EXPECT_DOUBLE_EQ(t.slowestMilliseconds, 40);
    EXPECT_DOUBLE_EQ(t.meanMilliseconds(), 25);
    EXPECT_DOUBLE_EQ(FrameTimings(1).meanMilliseconds(), 0);
    FrameTimings other(99);
    other.note(50);
    t.add(other);
    EXPECT_EQ(t.frames, 3);
    EXPECT_EQ(t.late, 1);
    EXPECT_DOUBLE_EQ(t.slowestMilliseconds, 50);
    EXPECT_DOUBLE_EQ(t.frameMilliseconds, 33.3);
}

TEST(FramesOfARun, ReportsOnlyWhatIsNew) {
    FramesOfARun run;
    FrameTimings a(10);
    a.note(5);
    EXPECT_EQ(run.note(a, false), a);
    EXPECT_EQ(run.note(a, false), std::nullopt);
    EXPECT_EQ(run.note(FrameTimings(10), false), std::nullopt);

    FramesOfARun parts;
    parts.note(a, true);
    FrameTimings b(10);
    b.note(20);
    auto told = parts.note(b, false);
    ASSERT_TRUE(told);
    EXPECT_EQ(told->frames, 2);
    EXPECT_EQ(told->late, 1);
    EXPECT_DOUBLE_EQ(told->totalMilliseconds, 25);
    EXPECT_DOUBLE_EQ(told->slowestMilliseconds, 20);
}
