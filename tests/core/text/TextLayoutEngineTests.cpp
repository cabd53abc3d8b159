// The layout engine over a font whose every letter is half an em wide, so
// that each number below can be worked out by hand.

#include "Core/Jobs.hpp"
#include "Core/Text/TextLayoutEngine.hpp"
#include "Core/Text/Utf8.hpp"

#include <cmath>
#include <gtest/gtest.h>

using namespace korvel;

namespace {

// Breaks after as many letters as fit.
class HalfEmTypesetter final : public TextTypesetter {
public:
    HalfEmTypesetter(std::string text, double size, double kerning)
        : text_(std::move(text)), size_(size), kerning_(kerning) {}
    size_t suggestLineBreak(size_t start, double maxWidth) const override {
        size_t fit = start;
        double w = 0;
        for (Utf8::Cursor at(std::string_view(text_).substr(start)); !at.done();) {
            at.next();
            w += 0.5 * size_ + kerning_;
            if (w - kerning_ <= maxWidth) fit = start + at.offset();
        }
        return fit;
    }

private:
    std::string text_;
    double size_, kerning_;
};

class HalfEmFont final : public TextFont {
public:
    explicit HalfEmFont(double size) : size_(size) {}
    double size() const override { return size_; }
    double ascent() const override { return 0.8 * size_; }
    double descent() const override { return 0.2 * size_; }
    std::optional<double> spaceAdvance() const override { return 0.25 * size_; }
    std::shared_ptr<const ShapedText> shape(std::string_view text) const override {
        auto out = std::make_shared<ShapedText>();
        for (Utf8::Cursor at(text); !at.done();) {
            const size_t offset = at.offset();
            if (at.next() == 0x2603) throw EngineFailure::unsupportedFormat("no snowman");
            out->glyphs.push_back({0, 1, static_cast<uint32_t>(offset), 0, 0, 0.5});
            out->advance += 0.5;
        }
        out->runs.push_back({0, 0, out->glyphs.size()});
        return out;
    }
    std::string faceName(uint32_t) const override { return "Half"; }
    double faceWeight(uint32_t) const override { return 0; }
    std::unique_ptr<TextTypesetter> typesetter(std::string_view text, double kerning) const override {
        return std::make_unique<HalfEmTypesetter>(std::string(text), size_, kerning);
    }

private:
    double size_;
};

class HalfEmFonts final : public TextFontSource {
public:
    std::shared_ptr<const TextFont> font(FontFamily, int64_t, bool, double size,
                                         const std::vector<std::string>&) override {
        ++requests;
        return std::make_shared<HalfEmFont>(size);
    }
    int requests = 0;
};

// Canvas 800 x 1600: the unit is 8 px; sizePct 10 is an 80 px font, each
// letter 40 px, the space 20 px. The box is 640 x 320 px from (80, 800).
TextItem item(std::vector<std::vector<std::string>> lines, TextRole role = TextRole::caption) {
    TextItem t;
    t.id = "t";
    t.role = role;
    t.box = {0.1, 0.5, 0.8, 0.2};
    t.style.sizePct = 10;
    t.style.lineHeight = 1.25;
    t.style.color = "#ffffff";
    for (const auto& runs : lines) {
        TextLine line;
        for (const auto& text : runs) line.runs.push_back({text, 0, 1, false, std::nullopt});
        t.lines.push_back(line);
    }
    return t;
}

struct Fixture {
    std::shared_ptr<HalfEmFonts> fonts = std::make_shared<HalfEmFonts>();
    TextLayoutEngine engine{{800, 1600}, 8, fonts};
};

EngineFailure failureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EngineFailure& e) {
        return e;
    }
    return {0, "none"};
}

} // namespace

TEST(TextLayoutEngine, OneRowCentredAndBottomAnchored) {
    Fixture f;
    const TextLayout l = f.engine.layout(item({{"ab cd"}}));
    ASSERT_EQ(l.rows.size(), 1u);
    const TextRow& r = l.rows[0];
    // Two 80 px tokens with a 20 px space: 180 px, centred in the box.
    EXPECT_DOUBLE_EQ(r.width, 180);
    EXPECT_DOUBLE_EQ(r.x, 80 + (640 - 180) / 2.0);
    EXPECT_DOUBLE_EQ(r.height, 100);
    EXPECT_DOUBLE_EQ(r.y, 800 + 320 - 100);
    EXPECT_DOUBLE_EQ(r.wordSpacing, 0);
    EXPECT_EQ(l.visualLines, 1);
    EXPECT_DOUBLE_EQ(l.scale, 1);
    EXPECT_DOUBLE_EQ(l.heightPx, 100);
    EXPECT_DOUBLE_EQ(l.widestLinePx, 180);
    ASSERT_EQ(l.placed.size(), 2u);
    EXPECT_DOUBLE_EQ(l.placed[0].x, r.x);
    EXPECT_DOUBLE_EQ(l.placed[1].x, r.x + 100);
    // The glyph box (80 + 20 px) centred in the 100 px line box, from the bottom.
    EXPECT_DOUBLE_EQ(l.placed[0].baseline, 1600 - (r.y + 64 + (100 - 64 - 16) / 2.0));
}

TEST(TextLayoutEngine, Anchoring) {
    Fixture f;
    const auto firstY = [&](TextRole role) { return f.engine.layout(item({{"a"}, {"b"}}, role)).rows[0].y; };
    EXPECT_DOUBLE_EQ(firstY(TextRole::caption), 800 + 320 - 200);
    EXPECT_DOUBLE_EQ(firstY(TextRole::title), 800);
    EXPECT_DOUBLE_EQ(firstY(TextRole::callToAction), 800 + (320 - 200) / 2.0);
}

TEST(TextLayoutEngine, HighlightPaddingWidensGapsAndRows) {
    Fixture f;
    auto t = item({{"ab cd"}});
    t.activeWordHighlight = true;
    const TextRow r = f.engine.layout(t).rows[0];
    // Padding 0.2 x 80 = 16; the gap is 2 x 16 = 32 instead of the 20 px space.
    EXPECT_DOUBLE_EQ(r.wordSpacing, 12);
    EXPECT_DOUBLE_EQ(r.width, 80 + 32 + 80 + 2 * 16);
    EXPECT_DOUBLE_EQ(r.x, 80 + (640 - 192) / 2.0 - 16);
    auto keyword = item({{"ab", "cd"}});
    keyword.lines[0].runs[1].keyword = true;
    EXPECT_DOUBLE_EQ(f.engine.layout(keyword).rows[0].wordSpacing, 12);
}

TEST(TextLayoutEngine, RightToLeftFillsFromTheRight) {
    Fixture f;
    const TextLayout l = f.engine.layout(item({{"\u05d0\u05d1 \u05d2"}}));
    const TextRow& r = l.rows[0];
    ASSERT_EQ(l.placed.size(), 2u);
    EXPECT_DOUBLE_EQ(r.width, 80 + 20 + 40);
    EXPECT_DOUBLE_EQ(l.placed[0].x + l.placed[0].token.width, r.x + r.width);
    EXPECT_DOUBLE_EQ(l.placed[1].x, r.x);
}

TEST(TextLayoutEngine, RoleLooksOfTitleLines) {
    Fixture f;
    auto t = item({{"big"}, {"medium"}, {"small caps"}}, TextRole::title);
    t.lines[1].role = TitleLineRole::medium;
    t.lines[2].role = TitleLineRole::smallCaps;
    const TextLayout l = f.engine.layout(t);
    ASSERT_EQ(l.rows.size(), 3u);
    EXPECT_DOUBLE_EQ(l.rows[1].fontSize, 40);
    EXPECT_DOUBLE_EQ(l.rows[1].lineHeight, 44);
    EXPECT_DOUBLE_EQ(l.rows[1].letterSpacing, -0.8);
    EXPECT_FALSE(l.rows[1].uppercase);
    EXPECT_DOUBLE_EQ(l.rows[2].fontSize, 80 * 7.0 / 12.0);
    EXPECT_DOUBLE_EQ(l.rows[2].lineHeight, 80 * 7.0 / 12.0 * 1.1);
    EXPECT_TRUE(l.rows[2].uppercase);
    EXPECT_EQ(l.placed.back().token.text, "CAPS");
}

TEST(TextLayoutEngine, EmptyAndBlankLines) {
    Fixture f;
    const TextLayout none = f.engine.layout(item({}));
    EXPECT_EQ(none.visualLines, 0);
    EXPECT_EQ(none.heightPx, 0);
    EXPECT_EQ(none.overflowPx, 0);
    EXPECT_EQ(none.scale, 1);
    const TextLayout blank = f.engine.layout(item({{"  ", "\n"}, {"x", "y"}}));
    ASSERT_EQ(blank.rows.size(), 1u);
    EXPECT_EQ(blank.rows[0].planLine, 1);
    // The blank line's two runs still count: the tokens are runs 2 and 3.
    EXPECT_EQ(blank.placed[0].token.run, 2u);
    EXPECT_EQ(blank.placed[1].token.run, 3u);
}

TEST(TextLayoutEngine, AWideWordShrinksOnlyItsLine) {
    Fixture f;
    // 20 letters: 800 px in a 640 px box; its line is set at 0.8, the other at 1.
    const TextLayout l = f.engine.layout(item({{"abcdefghijklmnopqrst"}, {"ab"}}, TextRole::title));
    EXPECT_DOUBLE_EQ(l.scale, 0.8);
    EXPECT_DOUBLE_EQ(l.rows[0].fontSize, 64);
    EXPECT_DOUBLE_EQ(l.rows[1].fontSize, 80);
    // Never below 0.4 of the base size.
    const TextLayout huge = f.engine.layout(item({{std::string(60, 'w')}}, TextRole::title));
    EXPECT_DOUBLE_EQ(huge.rows[0].fontSize, 32);
    EXPECT_GT(huge.overflowPx, 0);
}

TEST(TextLayoutEngine, HalfAPixelIsNotOverflow) {
    Fixture f;
    // Line height 4 px per unit of lineHeight at 80 px: a 320.5 px block in a 320 px box fits.
    auto t = item({{"a"}});
    t.style.lineHeight = 320.5 / 80;
    EXPECT_EQ(f.engine.attempt(t, 1).overflowPx, 0);
    t.style.lineHeight = 320.51 / 80;
    EXPECT_NEAR(f.engine.attempt(t, 1).overflowPx, 0.51, 1e-9);
}

TEST(TextLayoutEngine, FitSearchBisectsBetweenFourTenthsAndOne) {
    Fixture f;
    // Four lines of 100 px overflow the 320 px box; 0.4 fits; the answer is the
    // largest of eight halving steps that fits: 320 / 400 = 0.8 exactly fits.
    const TextLayout l = f.engine.layout(item({{"a"}, {"b"}, {"c"}, {"d"}}));
    double lo = 0.4, hi = 1.0;
    for (int i = 0; i < 8; ++i) {
        const double mid = (lo + hi) / 2;
        (400 * mid - 320 <= 0.5 ? lo : hi) = mid;
    }
    EXPECT_EQ(l.overflowPx, 0);
    EXPECT_DOUBLE_EQ(l.scale, lo);
    EXPECT_DOUBLE_EQ(l.rows[0].fontSize, 80 * lo);
    // Still overflowing at 0.4: answered at 0.4 with its overflow.
    std::vector<std::vector<std::string>> many(10, {"x"});
    const TextLayout over = f.engine.layout(item(many));
    EXPECT_DOUBLE_EQ(over.scale, 0.4);
    EXPECT_NEAR(over.overflowPx, 10 * 40 - 320, 1e-9);
}

TEST(TextLayoutEngine, SpacelessWordsBreakIntoPiecesWithoutGaps) {
    Fixture f;
    // Twenty Han characters: 800 px, broken at 640 px into 16 + 4, no gap between.
    std::string han;
    for (int i = 0; i < 20; ++i) han += "\u6f22";
    const TextLayout l = f.engine.attempt(item({{han}}), 1);
    ASSERT_GE(l.placed.size(), 2u);
    EXPECT_EQ(l.placed[0].token.text.size(), 16u * 3);
    EXPECT_EQ(l.placed[0].padding, 0);
    EXPECT_EQ(l.placed[1].token.text.size(), 4u * 3);
    EXPECT_EQ(l.rows.size(), 2u);
    // Pieces that fit one row stand side by side with no gap.
    const TextLayout both = f.engine.attempt(item({{"\u6f22\u5b57 \u6f22"}}), 1);
    ASSERT_EQ(both.placed.size(), 2u);
    EXPECT_DOUBLE_EQ(both.placed[1].x, both.placed[0].x + 80);
    // A piece is at least one whole scalar even in a box narrower than one.
    auto narrow = item({{"\U0001F600\U0001F600"}});
    narrow.box.w = 0.01;
    for (const auto& p : f.engine.attempt(narrow, 1).placed) EXPECT_EQ(p.token.text.size() % 4, 0u);
}

TEST(TextLayoutEngine, MissingGlyphPassesThrough) {
    Fixture f;
    EXPECT_EQ(failureOf([&] { f.engine.layout(item({{"a \u2603"}})); }).code, -32002);
}

TEST(TextLayoutEngine, UnsafeSizesAreRefusedBeforeLayout) {
    Fixture f;
    struct Case {
        std::function<void(TextItem&)> change;
        const char* message;
    };
    const Case cases[] = {
        {[](TextItem& t) { t.style.sizePct = 1e308; }, "Text item t is too large to lay out."},
        {[](TextItem& t) { t.style.sizePct = 1e5; }, "Text item t is too large to lay out."},
        {[](TextItem& t) { t.box.w = 1e308; }, "Text item t is too large to lay out."},
        {[](TextItem& t) { t.style.letterSpacingEm = 1e307; }, "Text item t is too large to lay out."},
        {[](TextItem& t) { t.style.lineHeight = std::nan(""); }, "Text item t is too large to lay out."},
        {[](TextItem& t) { t.style.sizePct = -1; }, "Text item t has a negative size."},
        {[](TextItem& t) { t.box.h = -0.1; }, "Text item t has a negative size."},
        // The text of all runs of all lines counts together.
        {[](TextItem& t) {
             t.lines[0].runs[0].text = std::string(TextLayoutEngine::largestTextBytes / 2, 'a');
             t.lines.push_back(t.lines[0]);
             t.lines[1].runs[0].text += "b";
         },
         "Text item t is too large to lay out."},
    };
    for (const Case& c : cases) {
        auto t = item({{"ab"}});
        c.change(t);
        const EngineFailure e = failureOf([&] { f.engine.layout(t); });
        EXPECT_EQ(e.code, -32602);
        EXPECT_EQ(e.message, c.message);
    }
    EXPECT_EQ(f.fonts->requests, 0);
    const std::string half(TextLayoutEngine::largestTextBytes / 2, 'a');
    EXPECT_EQ(f.engine.layout(item({{half}, {half}})).visualLines, 2);
    auto zero = item({{"ab cd"}});
    zero.style.sizePct = 0;
    const TextLayout l = f.engine.layout(zero);
    EXPECT_EQ(l.widestLinePx, 0);
    EXPECT_EQ(l.heightPx, 0);
    EXPECT_EQ(l.rows[0].width, 0);
}

TEST(TextLayoutEngine, CancelledBetweenFitAttempts) {
    Fixture f;
    std::stop_source stop;
    stop.request_stop();
    Task::Scope scope(stop.get_token());
    std::vector<std::vector<std::string>> many(10, {"x"});
    EXPECT_THROW(f.engine.layout(item(many)), Cancelled);
}
