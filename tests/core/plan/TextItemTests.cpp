#include "Core/Plan/TextItem.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace korvel;

namespace {

TextEntrance entrance(int64_t wordUs, int64_t fadeUs) {
    return {wordUs, {0.2, 0.9, 0.3, 1.2}, {0, 0.3, 0.8, 0.5}, {fadeUs, {0.4, 0, 0.2, 1}}};
}

TextItem itemWithRuns(int64_t outStartUs, std::vector<std::optional<int64_t>> enters) {
    TextItem item;
    item.id = "t";
    item.outStartUs = outStartUs;
    item.outEndUs = outStartUs;
    TextLine line;
    for (auto enter : enters) line.runs.push_back({"w", outStartUs, outStartUs, false, enter});
    item.lines = {TextLine{}, line};
    return item;
}

} // namespace

TEST(TextItemIsArriving, WhileFadingInOrWhileSomeRunEnters) {
    const TextEntrance e = entrance(250000, 150000);
    const TextItem entering = itemWithRuns(1000000, {1000000, 1400000});
    const TextItem noEnters = itemWithRuns(1000000, {std::nullopt, std::nullopt});

    struct Case {
        const TextItem* item;
        int64_t t;
        bool arriving;
    };
    const Case cases[] = {
        {&noEnters, 1149999, true},  // inside the item's fade
        {&noEnters, 1150000, false}, // fade over, no run enters
        {&entering, 1150000, true},  // second run enters at 1.4 s
        {&entering, 1649999, true},  // last microsecond of its entrance
        {&entering, 1650000, false},
        {&entering, 0, true},        // before the item starts
    };
    for (const auto& c : cases) EXPECT_EQ(c.item->isArriving(c.t, e), c.arriving) << c.t;
}

TEST(TextItemIsArriving, ExtremeTimesCompareExactly) {
    constexpr int64_t hi = std::numeric_limits<int64_t>::max();
    constexpr int64_t lo = std::numeric_limits<int64_t>::min();
    const TextEntrance e = entrance(hi, hi);
    EXPECT_TRUE(itemWithRuns(hi, {}).isArriving(hi, e));
    EXPECT_FALSE(itemWithRuns(lo, {}).isArriving(hi, entrance(0, 0)));
    EXPECT_TRUE(itemWithRuns(lo, {hi}).isArriving(lo, entrance(hi, 0)));
}

TEST(TextItem, OptionalFieldsAreLeftOutAndReadBackEqual) {
    const char* json = R"({"id":"c","role":"caption","outStartUs":0,"outEndUs":10,"highlight":null,"entrance":null,
        "lines":[{"runs":[]},{"runs":[{"text":"hi","outStartUs":0,"outEndUs":5,"keyword":true,"x":1}],"role":"small_caps"}],
        "box":{"x":0,"y":0,"w":1.5,"h":1},
        "style":{"font":"dm_serif_display","weight":400,"italic":false,"sizePct":5,"lineHeight":1.2,
                 "letterSpacingEm":0,"color":"#FFFFFF","shadow":null},
        "activeWordHighlight":false,"unknown":true})";
    TextItem item = decoded<TextItem>(JSONValue::parsing(json));
    EXPECT_FALSE(item.highlight);
    EXPECT_FALSE(item.entrance);
    EXPECT_FALSE(item.lines[0].role);
    EXPECT_EQ(item.lines[1].role, TitleLineRole::smallCaps);
    EXPECT_FALSE(item.lines[1].runs[0].enterUs);
    EXPECT_EQ(item.box.w, 1.5);
    EXPECT_EQ(item.style.font, FontFamily::dmSerifDisplay);

    JSONValue written = encoding(item);
    EXPECT_EQ(written.canonical(),
              R"({"activeWordHighlight":false,"box":{"h":1,"w":1.5,"x":0,"y":0},"id":"c","lines":[{"runs":[]},)"
              R"({"role":"small_caps","runs":[{"keyword":true,"outEndUs":5,"outStartUs":0,"text":"hi"}]}],)"
              R"("outEndUs":10,"outStartUs":0,"role":"caption","style":{"color":"#FFFFFF","font":"dm_serif_display",)"
              R"("italic":false,"letterSpacingEm":0,"lineHeight":1.2,"shadow":null,"sizePct":5,"weight":400}})");
    EXPECT_EQ(decoded<TextItem>(written), item);
}

TEST(TextStyle, ColoursCompareAsWritten) {
    TextStyle lower{FontFamily::inter, 400, false, 5, 1.2, 0, "#ffffff", std::nullopt};
    TextStyle upper = lower;
    upper.color = "#FFFFFF";
    EXPECT_NE(lower, upper);
    EXPECT_EQ(TextHighlight::standard(), (TextHighlight{"#f3eeea", "#1e1c18"}));
}

TEST(FontFamily, RawValuesAreTheSnakeCaseNames) {
    EXPECT_EQ(rawValue(FontFamily::ibmPlexMono), "ibm_plex_mono");
    EXPECT_EQ(rawValue(FontFamily::bangers), "bangers");
    EXPECT_EQ(fromRawValue<FontFamily>("abril_fatface"), FontFamily::abrilFatface);
    EXPECT_FALSE(fromRawValue<FontFamily>("Inter"));
    EXPECT_EQ(rawValue(TextRole::callToAction), "call_to_action");
}
