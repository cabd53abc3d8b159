// Text layers on pixels: when an item shows, how an entering run fades and
// moves, where right-to-left rows start, and what a highlight covers.

#include "Adapters/Text/TextRasterizer.hpp"
#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Text/HexColor.hpp"

#include <cmath>
#include <gtest/gtest.h>

using namespace korvel;

namespace {

// 1080 x 1920: unit 10.8 px.
constexpr RenderSize canvas{1080, 1920};

TextItem caption(std::vector<std::string> runs, std::string id = "c") {
    TextItem t;
    t.id = std::move(id);
    t.role = TextRole::caption;
    t.outStartUs = 1'000'000;
    t.outEndUs = 3'000'000;
    t.box = {0.1, 0.6, 0.8, 0.2};
    t.style.font = FontFamily::inter;
    t.style.weight = 700;
    t.style.sizePct = 6;
    t.style.lineHeight = 1.2;
    t.style.color = "#ffffff";
    TextLine line;
    int64_t at = t.outStartUs;
    for (auto& r : runs) {
        line.runs.push_back({r, at, at + 500'000, false, std::nullopt});
        at += 500'000;
    }
    t.lines = {line};
    return t;
}

struct Totals {
    double alpha = 0, ySum = 0, xSum = 0;
    double centreY() const { return ySum / alpha; }
    double centreX() const { return xSum / alpha; }
};

Totals totals(const RGBAImage& img) {
    Totals t;
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x) {
            const float a = img.row(y)[4 * x + 3];
            t.alpha += a;
            t.ySum += a * (img.y + y + 0.5);
            t.xSum += a * (img.x + x + 0.5);
        }
    }
    return t;
}

bool premultipliedAndBounded(const RGBAImage& img) {
    for (size_t i = 0; i + 3 < img.pixels.size(); i += 4) {
        const float a = img.pixels[i + 3];
        if (!(a >= 0 && a <= 1)) return false;
        for (int c = 0; c < 3; ++c) {
            if (!(img.pixels[i + c] >= 0 && img.pixels[i + c] <= a + 1e-5f)) return false;
        }
    }
    return true;
}

TextEntrance rise() {
    TextEntrance e;
    e.durationUs = 400'000;
    e.easing = {0, 0, 1, 1};
    e.from = {0, 0.5, 1, 0};
    e.fade = {0, {0, 0, 1, 1}};
    return e;
}

} // namespace

TEST(TextRasterizer, LayerOnlyInsideTheItemsTime) {
    TextRasterizer r(canvas, 10.8, {}, TextCaches{});
    const TextItem item = caption({"Hello", "there"});
    EXPECT_EQ(r.sharedLayer(item, 999'999), nullptr);
    const auto at = r.sharedLayer(item, 1'000'000);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(r.sharedLayer(item, 3'000'000), nullptr);
    // White text: linear white, premultiplied, inside the canvas.
    EXPECT_TRUE(premultipliedAndBounded(*at));
    EXPECT_GE(at->x, 0);
    EXPECT_LE(at->x + at->width, 1080);
    EXPECT_GT(totals(*at).alpha, 1000);
    // The ink sits in the item's box (y from the top).
    EXPECT_GT(at->y, 0.6 * 1920 - 5);
    EXPECT_LT(at->y + at->height, 0.8 * 1920 + 5);
    // The same item again is the cached image itself.
    EXPECT_EQ(r.sharedLayer(item, 1'500'000), at);
}

TEST(TextRasterizer, ItemsSharingAnIdAreDrawnApart) {
    TextRasterizer r(canvas, 10.8, {}, TextCaches{});
    const auto a = r.sharedLayer(caption({"One"}, "same"), 1'000'000);
    const auto b = r.sharedLayer(caption({"Another", "longer", "caption"}, "same"), 1'000'000);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->width, b->width);
    EXPECT_EQ(r.layout(caption({"One"}, "same"))->placed.size(), 1u);
    EXPECT_EQ(r.layout(caption({"Another", "longer", "caption"}, "same"))->placed.size(), 3u);
}

TEST(TextRasterizer, EnteringRunFadesAndRisesIntoPlace) {
    TextItem item = caption({"Rise"});
    item.entrance = "rise";
    item.lines[0].runs[0].enterUs = 1'000'000;
    TextRasterizer r(canvas, 10.8, {{"rise", rise()}}, TextCaches{});
    const auto rest = r.sharedLayer(item, 2'000'000);
    const auto half = r.sharedLayer(item, 1'200'000); // e = 0.5: opacity 0.5, shift 0.25
    ASSERT_TRUE(rest && half);
    const Totals t0 = totals(*rest), t1 = totals(*half);
    EXPECT_NEAR(t1.alpha / t0.alpha, std::pow(0.5, 2.2), 0.01);
    // Shifted down by a quarter of the run's line box (one row: its line height).
    const double lineHeight = r.layout(item)->rows[0].lineHeight;
    EXPECT_NEAR(t1.centreY() - t0.centreY(), 0.25 * lineHeight, 0.5);
    EXPECT_NEAR(t1.centreX(), t0.centreX(), 0.2);
    // Not begun: opacity 0, nothing drawn.
    EXPECT_EQ(r.sharedLayer(item, 1'000'000), nullptr);
}

TEST(TextRasterizer, OvershootingFadeStaysInsideUnitAlpha) {
    TextItem item = caption({"Pop"});
    item.entrance = "pop";
    item.lines[0].runs[0].enterUs = 1'000'000;
    TextEntrance pop = rise();
    pop.from = {1, 0, 0.5, 0};
    pop.easing = {0.3, 2.5, 0.6, 2.5}; // overshoots far above 1
    pop.fade = {800'000, {0.3, 3, 0.6, 3}};
    TextRasterizer r(canvas, 10.8, {{"pop", pop}}, TextCaches{});
    const auto img = r.sharedLayer(item, 1'300'000);
    ASSERT_TRUE(img);
    EXPECT_TRUE(premultipliedAndBounded(*img));
    // A pose scale of 0 draws nothing.
    TextEntrance flat = rise();
    flat.from = {1, 0, 0, 0};
    TextRasterizer zero(canvas, 10.8, {{"pop", flat}}, TextCaches{});
    EXPECT_EQ(zero.sharedLayer(item, 1'000'000), nullptr);
}

TEST(TextRasterizer, RightToLeftRowFillsFromTheRight) {
    TextRasterizer r(canvas, 10.8, {}, TextCaches{});
    TextItem item = caption({"\u05e9\u05dc\u05d5\u05dd", "\u05e2\u05d5\u05dc\u05dd"});
    item.lines[0].runs[0].keyword = true; // the first word read, highlighted
    const auto layout = r.layout(item);
    ASSERT_EQ(layout->placed.size(), 2u);
    EXPECT_GT(layout->placed[0].x, layout->placed[1].x);
    const auto img = r.sharedLayer(item, 1'000'000);
    ASSERT_TRUE(img);
    // The highlight box (warm white) is on the right half of the row.
    const auto bg = HexColor::working("#f3eeea", 1);
    const TextRow& row = layout->rows[0];
    const int y = static_cast<int>(row.y + row.height / 2) - img->y;
    int rightmost = -1, leftmost = img->width;
    for (int x = 0; x < img->width; ++x) {
        const float* p = img->row(y) + 4 * x;
        if (std::fabs(p[0] - bg[0]) < 0.02 && std::fabs(p[2] - bg[2]) < 0.02 && p[3] > 0.99) {
            rightmost = std::max(rightmost, x);
            leftmost = std::min(leftmost, x);
        }
    }
    ASSERT_GE(rightmost, 0);
    const PlacedToken& first = layout->placed[0];
    EXPECT_GE(leftmost + img->x, first.x - first.padding - 1.5);
    EXPECT_LE(rightmost + img->x, first.x + first.token.width + first.padding + 1.5);
    EXPECT_NEAR(first.x + first.token.width + first.padding, row.x + row.width, 1e-9);
}

TEST(TextRasterizer, HighlightedTokenIsDrawnOverItsBox) {
    TextRasterizer r(canvas, 10.8, {}, TextCaches{});
    TextItem item = caption({"plain", "lit"});
    item.activeWordHighlight = true;
    item.highlight = TextHighlight{"#ff0000", "#0000ff"};
    item.style.shadow = TextShadow{0.4, 1.0, "#000000", 0.8};
    // At 1.6 s the second run is active.
    const auto img = r.sharedLayer(item, 1'600'000);
    ASSERT_TRUE(img);
    const auto layout = r.layout(item);
    const PlacedToken& lit = layout->placed[1];
    // Inside the lit token's box: red background and blue letters, nothing else.
    int red = 0, blue = 0, other = 0;
    const int top = static_cast<int>(1920 - (lit.baseline + lit.ascent)) + 2;
    const int bottom = static_cast<int>(1920 - (lit.baseline - lit.descent)) - 2;
    for (int y = top; y < bottom; ++y) {
        for (int x = static_cast<int>(lit.x) + 2; x < static_cast<int>(lit.x + lit.token.width) - 2; ++x) {
            const float* p = img->row(y - img->y) + 4 * (x - img->x);
            if (p[0] > 0.99 && p[1] < 0.01 && p[2] < 0.01) ++red;
            else if (p[2] > 0.99 && p[0] < 0.01 && p[1] < 0.01) ++blue;
            else if (!(p[3] > 0.99 && p[1] < 0.01)) ++other; // antialiased edges mix red and blue only
        }
    }
    EXPECT_GT(red, 100);
    EXPECT_GT(blue, 50);
    EXPECT_EQ(other, 0);
}

TEST(TextRasterizer, FailuresOfEntrancesAndColours) {
    TextItem item = caption({"x"});
    item.entrance = "nope";
    item.lines[0].runs[0].enterUs = 0;
    TextRasterizer r(canvas, 10.8, {{"rise", rise()}}, TextCaches{});
    const auto failure = [&](const TextItem& i) -> std::string {
        try {
            r.sharedLayer(i, 1'000'000);
        } catch (const EngineFailure& e) {
            return std::to_string(e.code) + " " + e.message;
        }
        return "none";
    };
    EXPECT_EQ(failure(item), "-32602 Text item c can't enter: unknownEntrance(\"nope\").");
    TextItem bad = caption({"x"});
    for (const char* colour : {"#+12345", "#0x1234", "# 12345", "ffffff", "#fffff", "#fffffff", "#gggggg"}) {
        bad.style.color = colour;
        EXPECT_EQ(failure(bad), std::string("-32602 ") + colour + " is not a color like #rrggbb.");
    }
    EXPECT_EQ(HexColor::components("#FFa0B1"), HexColor::components("#ffA0b1"));
}

TEST(TextRasterizer, HugeSizesStayInsideTheCanvas) {
    TextRasterizer r(canvas, 10.8, {}, TextCaches{});
    TextItem item = caption({"W"});
    item.style.sizePct = 1600; // a 17 280 px font: refused
    EXPECT_THROW(r.sharedLayer(item, 1'000'000), EngineFailure);
    item.style.sizePct = 1000; // 10 800 px: drawn, clipped to the canvas
    item.style.shadow = TextShadow{1e9, 1e12, "#000000", 5};
    const auto img = r.sharedLayer(item, 1'000'000);
    if (img) {
        EXPECT_LE(static_cast<int64_t>(img->width) * img->height, int64_t{1080} * 1920);
        EXPECT_TRUE(premultipliedAndBounded(*img));
    }
}

TEST(TextRasterizer, ValidationKey) {
    TextItem item = caption({"Hello", "there"});
    item.style.font = FontFamily::playfairDisplay;
    item.style.italic = true;
    item.style.weight = 500;
    item.lines.push_back(TextLine{{TextRun{"Sub", 0, 1, false, std::nullopt}}, TitleLineRole::smallCaps});
    EXPECT_EQ(TextRasterizer::validationKey(item), "playfairDisplay|500|true|#ffffff||||=Hello there\nsmall_caps=Sub");
}

TEST(TextRasterizer, TimesAtTheEndsOfSixtyFourBitsDoNotOverflow) {
    TextItem item = caption({"Edge"});
    item.outStartUs = INT64_MIN + 1;
    item.outEndUs = INT64_MAX;
    item.entrance = "rise";
    item.lines[0].runs[0].enterUs = INT64_MIN + 1;
    TextEntrance slow = rise();
    slow.fade = {INT64_MAX, {0, 0, 1, 1}};
    TextRasterizer r(canvas, 10.8, {{"rise", slow}}, TextCaches{});
    // t - outStartUs and t - enterUs leave 64 bits here; they saturate instead.
    const auto late = r.sharedLayer(item, INT64_MAX - 1);
    ASSERT_TRUE(late);
    EXPECT_TRUE(premultipliedAndBounded(*late));
    item.lines[0].runs[0].enterUs = INT64_MAX - 2;
    EXPECT_EQ(r.sharedLayer(item, INT64_MIN + 1), nullptr); // not begun: nothing visible
}

TEST(TextRasterizer, ImagesLeaveFirstInFirstOut) {
    TextRasterizer r(canvas, 10.8, {}, TextCaches{});
    const auto first = r.sharedLayer(caption({"item 0"}, "i0"), 1'000'000);
    for (int i = 1; i < 12; ++i) r.sharedLayer(caption({"item " + std::to_string(i)}, "i" + std::to_string(i)), 1'000'000);
    // Twelve held: the first is still the same image, even after this use.
    EXPECT_EQ(r.sharedLayer(caption({"item 0"}, "i0"), 1'000'000), first);
    r.sharedLayer(caption({"item 12"}, "i12"), 1'000'000);
    // The thirteenth pushed out the oldest insertion, used last or not.
    const auto again = r.sharedLayer(caption({"item 0"}, "i0"), 1'000'000);
    EXPECT_NE(again, first);
    EXPECT_EQ(*again, *first);
}

TEST(TextRasterizer, ActiveWordIsLitFromItsStartUpToItsEnd) {
    TextRasterizer r(canvas, 10.8, {}, TextCaches{});
    TextItem item = caption({"one", "two", "three"}); // runs of 0.5 s from 1 s
    item.activeWordHighlight = true;
    const auto first = r.sharedLayer(item, 1'000'000);
    EXPECT_EQ(r.sharedLayer(item, 1'499'999), first); // the same lit set, the same image
    const auto second = r.sharedLayer(item, 1'500'000);
    EXPECT_NE(second, first);
    EXPECT_EQ(r.sharedLayer(item, 1'999'999), second);
    // Past the last run no word is lit; a keyword is lit all along.
    const auto none = r.sharedLayer(item, 2'600'000);
    EXPECT_NE(none, first);
    item.lines[0].runs[2].keyword = true;
    const auto keyword = r.sharedLayer(item, 2'600'000);
    EXPECT_NE(keyword, none);
}

TEST(TextRasterizer, ColoursComeBackThroughTheCompositorsCurve) {
    // Text and solid fills decode by the curve the output encodes with, so a
    // plan's colour is the colour written.
    TextRasterizer r(canvas, 10.8, {}, TextCaches{});
    TextItem item = caption({"Colour"});
    for (const char* hex : {"#d08a3c", "#808080", "#3c1e8a"}) {
        item.style.color = hex;
        const auto rgb = HexColor::components(hex);
        const auto fill = HexColor::working(hex, 1);
        const auto img = r.sharedLayer(item, 1'000'000);
        ASSERT_TRUE(img);
        int solid = 0;
        for (size_t i = 0; i + 3 < img->pixels.size(); i += 4) {
            if (img->pixels[i + 3] != 1.0f) continue;
            ++solid;
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(ColorMath::encode709(img->pixels[i + c]), rgb[c], 2e-5) << hex;
        }
        EXPECT_GT(solid, 100) << hex;
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(ColorMath::encode709(fill[c]), rgb[c], 2e-5) << hex;
    }
}
