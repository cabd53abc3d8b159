#include "Core/Plan/ColorStep.hpp"
#include "Core/Plan/PlanBackground.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace korvel;

TEST(ColorStep, ActiveOnAHalfOpenInterval) {
    const ColorStep unbounded{ColorStep::Look{"warm", 0.5}, std::nullopt, std::nullopt};
    const ColorStep grain{ColorStep::Grain{0.3, 7}, 1000000, 2000000};
    const ColorStep untilOnly{ColorStep::Match{{1, 1, 1}}, std::nullopt, 500};
    const ColorStep fromOnly{ColorStep::Correct{}, 500, std::nullopt};
    const ColorStep reversed{ColorStep::Grain{0.1, 1}, 2000, 1000};

    struct Case {
        const ColorStep* step;
        int64_t t;
        bool active;
    };
    const Case cases[] = {
        {&unbounded, std::numeric_limits<int64_t>::min(), true},
        {&unbounded, std::numeric_limits<int64_t>::max(), true},
        {&grain, 999999, false},
        {&grain, 1000000, true},
        {&grain, 1999999, true},
        {&grain, 2000000, false},
        {&untilOnly, -1000000, true},
        {&untilOnly, 499, true},
        {&untilOnly, 500, false},
        {&fromOnly, 499, false},
        {&fromOnly, 500, true},
        {&reversed, 1500, false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.step->isActive(c.t), c.active) << c.t;
}

TEST(ColorStep, WritesItsKindFieldsAndNullBounds) {
    struct Case {
        const char* json;
        const char* written;
    };
    const Case cases[] = {
        {R"({"kind":"look","look":"teal_orange","strength":0.5})",
         R"({"kind":"look","look":"teal_orange","outEndUs":null,"outStartUs":null,"strength":0.5})"},
        // Keys of other kinds are ignored.
        {R"({"kind":"grain","strength":0.3,"seed":7,"look":"x","outStartUs":1000000,"outEndUs":null})",
         R"({"kind":"grain","outEndUs":null,"outStartUs":1000000,"seed":7,"strength":0.3})"},
        {R"({"kind":"correct","adjustments":{}})", R"({"adjustments":{},"kind":"correct","outEndUs":null,"outStartUs":null})"},
        {R"({"kind":"match","gains":{"r":1.5,"g":1,"b":0.5},"outEndUs":10})",
         R"({"gains":{"b":0.5,"g":1,"r":1.5},"kind":"match","outEndUs":10,"outStartUs":null})"},
    };
    for (const auto& c : cases) {
        ColorStep step = decoded<ColorStep>(JSONValue::parsing(c.json));
        JSONValue written = encoding(step);
        EXPECT_EQ(written.canonical(), c.written);
        EXPECT_EQ(decoded<ColorStep>(written), step);
    }
}

TEST(BackgroundFill, ReadsEachTypeAndWritesOnlyItsField) {
    struct Case {
        const char* json;
        BackgroundFill expected;
        const char* written;
    };
    const Case cases[] = {
        {R"({"type":"solid","color":"#102030"})", {BackgroundFill::Solid{"#102030"}}, R"({"color":"#102030","type":"solid"})"},
        {R"({"type":"asset","assetId":"bg"})", {BackgroundFill::Asset{"bg"}}, R"({"assetId":"bg","type":"asset"})"},
        {R"({"type":"blur","radiusPct":2})", {BackgroundFill::Blur{2}}, R"({"radiusPct":2,"type":"blur"})"},
        {R"({"type":"none","color":"#fff"})", {BackgroundFill::None{}}, R"({"type":"none"})"},
        {R"({"type":"gray","color":"#fff"})", {BackgroundFill::Gray{}}, R"({"type":"gray"})"},
    };
    for (const auto& c : cases) {
        BackgroundFill fill = decoded<BackgroundFill>(JSONValue::parsing(c.json));
        EXPECT_EQ(fill, c.expected) << c.json;
        EXPECT_EQ(encoding(fill).canonical(), c.written);
    }
}

TEST(BackgroundFill, RefusesUnknownTypesAndMissingFields) {
    struct Case {
        const char* json;
        const char* message;
    };
    const Case cases[] = {
        {R"({"type":"Gray"})", "Params do not match the contract: type: Unknown fill Gray"},
        {R"({"type":"blur"})", "Params do not match the contract: missing .radiusPct"},
        {R"({"color":"#fff"})", "Params do not match the contract: missing .type"},
        {R"({"type":"solid","color":null})", "Params do not match the contract: color: Expected a string but found null instead."},
    };
    for (const auto& c : cases) {
        try {
            (void)decoded<BackgroundFill>(JSONValue::parsing(c.json));
            ADD_FAILURE() << c.json;
        } catch (const EngineFailure& failure) {
            EXPECT_EQ(failure.message, c.message);
        }
    }
}
