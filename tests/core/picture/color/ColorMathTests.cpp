#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/Color/ColorRecipe.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace korvel;

TEST(ColorMath, CurvesRoundTripAndTablesMatchTheFormulas) {
    for (ColorSpace space : {ColorSpace::itur709, ColorSpace::itur2100HLG}) {
        const auto& curve = ColorMath::curve(space);
        for (float v : {-0.5f, 0.0f, 0.00001f, 0.0001f, 0.001f, 0.018f, 0.1f, 0.18f, 0.5f, 0.9f, 1.0f, 2.5f}) {
            float exact = space == ColorSpace::itur709 ? ColorMath::encode709(v) : ColorMath::encodeHLG(v);
            EXPECT_NEAR(curve.encode(v), exact, 2e-5) << v;
            EXPECT_NEAR(curve.decode(curve.encode(v)), v, 1e-4 * std::max(1.0f, std::fabs(v))) << v;
        }
    }
    // Reference white sits at 75 % of the HLG signal.
    EXPECT_NEAR(ColorMath::encodeHLG(1.0f), 0.75f, 0.002f);
    EXPECT_NEAR(ColorMath::encode709(1.0f), 1.0f, 1e-6f);
    EXPECT_EQ(ColorMath::sane(std::nanf("")), 0.0f);
    EXPECT_EQ(ColorMath::sane(INFINITY), 0.0f);
}

TEST(ColorMath, EETFKeepsMidtonesAndMeetsThePeak) {
    // Below the knee the curve is the identity; the source peak lands on the target's.
    for (double nits : {1.0, 10.0, 26.0, 50.0}) EXPECT_NEAR(ColorMath::eetf(nits, 1000, 203), nits, 1e-6 * nits) << nits;
    EXPECT_NEAR(ColorMath::eetf(1000, 1000, 203), 203, 0.01);
    double before = 0;
    for (double nits = 1; nits <= 1000; nits *= 1.2) {
        double out = ColorMath::eetf(nits, 1000, 203);
        EXPECT_GE(out, before);
        EXPECT_LE(out, 203.01);
        before = out;
    }
    EXPECT_NEAR(ColorMath::pqDecode(ColorMath::pqEncode(203)), 203, 1e-6);
}

TEST(ColorRecipe, SpacesAndTagsByDynamicRange) {
    ColorRecipe sdr{DynamicRange::sdr}, hdr{DynamicRange::keepHdr};
    EXPECT_EQ(sdr.gammaSpace(), ColorSpace::itur709);
    EXPECT_EQ(hdr.gammaSpace(), ColorSpace::itur2100HLG);
    EXPECT_EQ(ColorRecipe::gradingSpace, ColorSpace::itur709);
    EXPECT_EQ(sdr.writerColorProperties(), (std::map<std::string, std::string>{
                                               {"ColorPrimaries", "ITU_R_709_2"},
                                               {"TransferFunction", "ITU_R_709_2"},
                                               {"YCbCrMatrix", "ITU_R_709_2"}}));
    EXPECT_EQ(hdr.primaries(), "ITU_R_2020");
    EXPECT_EQ(hdr.transfer(), "ITU_R_2100_HLG");
    EXPECT_EQ(hdr.matrix(), "ITU_R_2020");
}
