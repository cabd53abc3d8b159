#include "Core/Plan/ColorCorrection.hpp"

#include <gtest/gtest.h>

using namespace korvel;
using ColorCorrection::FilterKey;

TEST(ColorCorrection, FilterKeysParse) {
    struct Case {
        std::string text;
        std::optional<FilterKey> expected;
    };
    std::vector<Case> cases{
        {"CIVibrance.inputAmount", FilterKey{"CIVibrance", "inputAmount", std::nullopt}},
        {"CIToneCurve.inputPoint1.0", FilterKey{"CIToneCurve", "inputPoint1", 0}},
        {"CIToneCurve.inputPoint1.+1", FilterKey{"CIToneCurve", "inputPoint1", 1}},
        {"CIToneCurve.inputPoint1.-2", FilterKey{"CIToneCurve", "inputPoint1", -2}},
        {"CIToneCurve..inputPoint1", FilterKey{"CIToneCurve", "inputPoint1", std::nullopt}}, // empty pieces drop
        {"CIToneCurve.inputPoint1.x", std::nullopt},
        {"CIToneCurve.inputPoint1.0.1", std::nullopt},
        {"CIToneCurve.inputPoint1.99999999999999999999", std::nullopt},
        {"CIColorControls.inputBrightness", std::nullopt},
        {"CIVibrance", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(FilterKey::parse(c.text), c.expected) << c.text;
}

TEST(ColorCorrection, CheckNamesTheSmallestBadKeyAndWantsThreeWhiteGains) {
    struct Case {
        std::map<std::string, double> adjustments;
        std::string message; // empty: passes
    };
    std::vector<Case> cases{
        {{}, ""},
        {{{"contrast", 1.1}, {"CIToneCurve.inputPoint1.0", 0.3}, {"CIVibrance.inputAmount", 0.2}}, ""},
        {{{"whiteGainRed", 1}, {"whiteGainGreen", 1}, {"whiteGainBlue", 1}}, ""},
        {{{"whiteGainRed", 1}, {"whiteGainGreen", 1}}, "A white balance needs a gain for red, green and blue."},
        {{{"whiteGainBlue", 1}}, "A white balance needs a gain for red, green and blue."},
        {{{"CIColorControls.inputBrightness", 1}}, "The color adjustment CIColorControls.inputBrightness does not exist."},
        {{{"zeta", 1}, {"alpha", 1}}, "The color adjustment alpha does not exist."},
        {{{"CIVibrance.inputNothing", 1}}, "The color adjustment CIVibrance.inputNothing does not exist."},
        // The bad name wins over a missing white gain.
        {{{"whiteGainRed", 1}, {"blur", 1}}, "The color adjustment blur does not exist."},
    };
    for (const auto& c : cases) {
        if (c.message.empty()) {
            EXPECT_NO_THROW(ColorCorrection::check(c.adjustments));
            continue;
        }
        try {
            ColorCorrection::check(c.adjustments);
            ADD_FAILURE() << c.message;
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f.code, -32602);
            EXPECT_EQ(f.message, c.message);
        }
    }
}

TEST(ColorCorrection, FilterCallsOrderFiltersAndComponents) {
    auto calls = ColorCorrection::filterCalls({{"CIToneCurve.inputPoint1.1", 0.4},
                                               {"CIToneCurve.inputPoint1.0", 0.25},
                                               {"CIVibrance.inputAmount", 0.5},
                                               {"CIFaceBalance.inputStrength", 0.7},
                                               {"contrast", 1.2}});
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].filter, "CIFaceBalance");
    EXPECT_EQ(calls[1].filter, "CIVibrance");
    EXPECT_EQ(calls[1].inputs.at("inputAmount"), (ColorCorrection::FilterInput{{0.5}, true}));
    EXPECT_EQ(calls[2].filter, "CIToneCurve");
    EXPECT_EQ(calls[2].inputs.at("inputPoint1"), (ColorCorrection::FilterInput{{0.25, 0.4}, false}));
}
