#include "Core/Wire/WaveformWire.hpp"
#include "Core/Wire/WireNumber.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace korvel;

TEST(WireNumber, DecibelsRoundHalvesAwayFromZero) {
    const std::pair<double, double> cases[] = {
        {0.125, 0.13}, {-0.125, -0.13}, {-43.456, -43.46}, {-120, -120}, {-14.125, -14.13}, {-47.124, -47.12},
    };
    for (auto [in, out] : cases) EXPECT_DOUBLE_EQ(WireNumber::db(in), out) << in;
    EXPECT_TRUE(std::isnan(WireNumber::db(std::nan(""))));
    EXPECT_EQ(WireNumber::db(-INFINITY), -INFINITY);
}

TEST(WireNumber, FractionsClampThenRound) {
    const std::pair<double, double> cases[] = {
        {-0.2, 0}, {1.5, 1}, {0.123455, 0.12346}, {0.999995, 1}, {0.000004, 0}, {0.000005, 0.00001},
        {-0.0, 0}, {INFINITY, 1}, {-INFINITY, 0}, {2.0 / 3, 0.66667}, {1.0000049, 1},
    };
    for (auto [in, out] : cases) EXPECT_DOUBLE_EQ(WireNumber::fraction(in), out) << in;
    EXPECT_FALSE(std::signbit(WireNumber::fraction(-0.0)));
    EXPECT_TRUE(std::isnan(WireNumber::fraction(std::nan(""))));
}

TEST(WireNumber, PeaksKeepFourDecimalsOfTheWidenedFloat) {
    EXPECT_DOUBLE_EQ(wirePeak(0.5f), 0.5);
    EXPECT_DOUBLE_EQ(wirePeak(0.03125f), 0.0313);
    // The float nearest 0.99995 lies below it.
    EXPECT_DOUBLE_EQ(wirePeak(0.99995f), 0.9999);
    EXPECT_DOUBLE_EQ(wirePeak(0.99996f), 1);
    EXPECT_DOUBLE_EQ(wirePeak(0.123456f), 0.1235);
}

TEST(WireShapes, RectRoundsEachSideWithoutRefitting) {
    const RectModel past = RectModel::of(0.9, 0.2, 0.3, 0.333333);
    EXPECT_DOUBLE_EQ(past.x, 0.9);
    EXPECT_DOUBLE_EQ(past.w, 0.3);
    EXPECT_DOUBLE_EQ(past.h, 0.33333);
    EXPECT_DOUBLE_EQ(RectModel::of(-0.1, 0, 0.3, 0).x, 0);
}

TEST(PlainJSON, EscapesSlashesOnly) {
    JSONValue::Object o{{"path", "/a/b"}, {"n", 1}};
    EXPECT_EQ(PlainJSON::text(JSONValue(o)), R"({"n":1,"path":"\/a\/b"})");
    EXPECT_EQ(JSONValue::parsing(PlainJSON::text(JSONValue(o))), JSONValue(o));
}
