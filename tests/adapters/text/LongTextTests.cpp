// Long space-less words are broken from one analysis of the whole word. The
// plain way, shaping and segmenting the rest of the word again for every line
// and measuring every candidate from its first glyph, must give the same lines.

#include "Adapters/Text/FontCache.hpp"
#include "Core/Text/TextLayoutEngine.hpp"
#include "Core/Text/TextScript.hpp"
#include "Core/Text/TextWrap.hpp"

#include <gtest/gtest.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <optional>

using namespace korvel;

namespace {

// Break marks of one kind as UTF-8 offsets, ascending, ending at the length.
std::vector<size_t> marks(const std::string& text, UBreakIteratorType type) {
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    UBreakIterator* it = ubrk_open(type, "", nullptr, 0, &status);
    ubrk_setUText(it, ut, &status);
    EXPECT_TRUE(U_SUCCESS(status));
    std::vector<size_t> out;
    for (int32_t b = ubrk_next(it); b != UBRK_DONE; b = ubrk_next(it)) out.push_back(static_cast<size_t>(b));
    ubrk_close(it);
    utext_close(ut);
    return out;
}

class FreshTypesetter final : public TextTypesetter {
public:
    FreshTypesetter(std::shared_ptr<const TextFont> font, std::string text, double kerning)
        : font_(std::move(font)), text_(std::move(text)), kerning_(kerning) {}

    size_t suggestLineBreak(size_t start, double maxWidth) const override {
        if (start >= text_.size()) return text_.size();
        const std::string rest = text_.substr(start);
        const auto shaped = font_->shape(rest);
        const auto width = [&](size_t end) {
            double w = 0;
            bool any = false;
            for (const auto& g : shaped->glyphs) {
                if (g.cluster < end) {
                    w += g.advance * font_->size() + kerning_;
                    any = true;
                }
            }
            return any ? w - kerning_ : 0.0;
        };
        const auto fitting = [&](const std::vector<size_t>& ends) -> std::optional<size_t> {
            std::optional<size_t> best;
            for (size_t end : ends) {
                if (width(end) > maxWidth) break;
                best = end;
            }
            return best;
        };
        const auto graphemes = marks(rest, UBRK_CHARACTER);
        if (auto end = fitting(marks(rest, UBRK_LINE))) return start + *end;
        if (auto end = fitting(graphemes)) return start + *end;
        return start + graphemes.front();
    }

private:
    std::shared_ptr<const TextFont> font_;
    std::string text_;
    double kerning_;
};

// The cache's font, with the plain typesetter.
class FreshFont final : public TextFont {
public:
    explicit FreshFont(std::shared_ptr<const TextFont> font) : font_(std::move(font)) {}
    double size() const override { return font_->size(); }
    double ascent() const override { return font_->ascent(); }
    double descent() const override { return font_->descent(); }
    std::optional<double> spaceAdvance() const override { return font_->spaceAdvance(); }
    std::shared_ptr<const ShapedText> shape(std::string_view text) const override { return font_->shape(text); }
    std::string faceName(uint32_t face) const override { return font_->faceName(face); }
    double faceWeight(uint32_t face) const override { return font_->faceWeight(face); }
    std::unique_ptr<TextTypesetter> typesetter(std::string_view text, double kerning) const override {
        return std::make_unique<FreshTypesetter>(font_, std::string(text), kerning);
    }

private:
    std::shared_ptr<const TextFont> font_;
};

class FreshFonts final : public TextFontSource {
public:
    std::shared_ptr<const TextFont> font(FontFamily family, int64_t weight, bool italic, double size,
                                         const std::vector<std::string>& languages) override {
        return std::make_shared<FreshFont>(cache.font(family, weight, italic, size, languages));
    }
    FontCache cache;
};

std::string repeated(const std::string& piece, size_t bytes) {
    std::string out;
    while (out.size() < bytes) out += piece;
    return out;
}

std::vector<size_t> ends(const TextTypesetter& t, size_t length, double maxWidth) {
    std::vector<size_t> out;
    for (size_t at = 0; at < length;) {
        at = std::clamp(t.suggestLineBreak(at, maxWidth), at + 1, length);
        out.push_back(at);
    }
    return out;
}

struct Word {
    const char* name;
    std::string text;
};

// Space-less words of the scripts that are broken between characters, about
// 300 characters each.
const std::vector<Word>& words() {
    static const std::vector<Word> all = {
        {"japanese", repeated("日本語の字幕、テスト。「引用」とカタカナ々ー！", 900)},
        {"chinese", repeated("中文字幕测试，这是一个很长的句子。（括号）", 900)},
        {"thai", repeated("ภาษาไทยง่ายมากสวัสดีครับขอบคุณมากๆ", 900)},
        {"khmer", repeated("ភាសាខ្មែរសួស្ដី", 900)},
        {"burmese", repeated("မြန်မာဘာသာမင်္ဂလာပါ", 900)},
        // A stretch with no break opportunity, then breakable text.
        {"long sound mark", "ア" + repeated("ー", 450) + repeated("日本", 450)},
        {"fullwidth", repeated("ＡＢＣ１２３ｘｙｚ", 900)},
        {"emoji among han", repeated("字幕😀👍🏽字👨‍👩‍👧か\u3099", 900)},
    };
    return all;
}

} // namespace

TEST(LongText, TypesetterLinesMatchAFreshAnalysisOfEachRest) {
    FontCache cache;
    const double size = 64.8;
    for (const Word& word : words()) {
        const auto font = cache.font(FontFamily::inter, 700, false, size, TextScript::cascadeLanguages(word.text));
        // Narrower than any cluster, exact multiples of a full-width glyph, and plain box widths.
        for (double maxWidth : {0.5, 10 * size, 7 * 86.4, 333.3, 864.0}) {
            for (double kerning : {0.0, -0.01 * size, 0.1 * size, -1.2 * size}) {
                const auto fast = font->typesetter(word.text, kerning);
                const FreshTypesetter fresh(font, word.text, kerning);
                EXPECT_EQ(ends(*fast, word.text.size(), maxWidth), ends(fresh, word.text.size(), maxWidth))
                    << word.name << " at " << maxWidth << " with kerning " << kerning;
            }
        }
    }
}

TEST(LongText, LongItemLaysOutAsWithAFreshAnalysisOfEachLine) {
    auto cache = std::make_shared<FontCache>();
    auto fresh = std::make_shared<FreshFonts>();
    const RenderSize canvas{1080, 1920};
    const double unit = TextMetrics::unit(canvas.width, canvas.height);
    const TextLayoutEngine fast(canvas, unit, cache), plain(canvas, unit, fresh);
    for (const Word& word : words()) {
        TextItem item;
        item.id = word.name;
        item.role = TextRole::caption;
        item.box = {0.1, 0.5, 0.8, 0.4};
        item.style.font = FontFamily::inter;
        item.style.weight = 700;
        item.style.sizePct = 6;
        item.style.lineHeight = 1.2;
        item.style.letterSpacingEm = -0.01;
        item.style.color = "#ffffff";
        item.activeWordHighlight = true;
        // A medium line whose word is broken, and a title line of its own size.
        item.lines = {TextLine{{TextRun{word.text, 0, 1, false, std::nullopt}}, std::nullopt},
                      TextLine{{TextRun{"Title line", 0, 1, true, std::nullopt}},
                               TitleLineRole::smallCaps}};
        const TextLayout a = fast.layout(item), b = plain.layout(item);
        EXPECT_EQ(a.rows, b.rows) << word.name;
        EXPECT_EQ(a.scale, b.scale) << word.name;
        EXPECT_EQ(a.overflowPx, b.overflowPx) << word.name;
        ASSERT_EQ(a.placed.size(), b.placed.size()) << word.name;
        EXPECT_GT(a.placed.size(), 8u) << word.name;
        for (size_t i = 0; i < a.placed.size(); ++i) {
            EXPECT_EQ(a.placed[i].token.text, b.placed[i].token.text) << word.name << " token " << i;
            EXPECT_EQ(a.placed[i].x, b.placed[i].x) << word.name << " token " << i;
            EXPECT_EQ(a.placed[i].baseline, b.placed[i].baseline) << word.name << " token " << i;
        }
    }
}
