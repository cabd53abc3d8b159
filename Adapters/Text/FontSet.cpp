#include "Adapters/Text/FontSet.hpp"

#include "Core/ClientText.hpp"
#include "Core/Jobs.hpp"
#include "Core/Text/Utf8.hpp"

#include <hb-ot.h>
#include <hb.h>
#include <unicode/ubidi.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace korvel {

EngineFailure noGlyph(std::string_view text) {
    return EngineFailure::unsupportedFormat("No font on this computer has a glyph for \u201c" + ClientText::quoted(text) +
                                            "\u201d.");
}

namespace {

struct BreakIteratorDeleter {
    void operator()(UBreakIterator* b) const { ubrk_close(b); }
};
struct BidiDeleter {
    void operator()(UBiDi* b) const { ubidi_close(b); }
};
struct BufferDeleter {
    void operator()(hb_buffer_t* b) const { hb_buffer_destroy(b); }
};

// The text in UTF-16 with the UTF-8 offset of every UTF-16 unit (and of the end).
struct Wide {
    std::u16string text;
    std::vector<uint32_t> byteOf;
    explicit Wide(std::string_view utf8) {
        for (Utf8::Cursor at(utf8); !at.done();) {
            const uint32_t offset = static_cast<uint32_t>(at.offset());
            const uint32_t c = at.next();
            if (c >= 0x10000) {
                text += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                text += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
                byteOf.push_back(offset);
                byteOf.push_back(offset);
            } else {
                text += static_cast<char16_t>(c);
                byteOf.push_back(offset);
            }
        }
        byteOf.push_back(static_cast<uint32_t>(utf8.size()));
    }
};

// Boundaries (UTF-16 indexes, ascending, ending at the length) of one kind.
std::vector<int32_t> boundaries(const std::u16string& text, UBreakIteratorType type) {
    std::vector<int32_t> out;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UBreakIterator, BreakIteratorDeleter> it(
        ubrk_open(type, "", reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), &status));
    if (U_FAILURE(status) || !it) {
        for (int32_t i = 1; i <= static_cast<int32_t>(text.size()); ++i) out.push_back(i);
        return out;
    }
    for (int32_t b = ubrk_next(it.get()); b != UBRK_DONE; b = ubrk_next(it.get())) out.push_back(b);
    if (out.empty() || out.back() != static_cast<int32_t>(text.size())) out.push_back(static_cast<int32_t>(text.size()));
    return out;
}

bool ignorable(uint32_t c) {
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_DEFAULT_IGNORABLE_CODE_POINT);
}

bool wantsEmoji(std::string_view cluster) {
    for (Utf8::Cursor at(cluster); !at.done();) {
        const uint32_t c = at.next();
        if (c == 0xFE0F || u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_EMOJI_PRESENTATION)) return true;
    }
    return false;
}

hb_script_t scriptOf(uint32_t c) { return hb_unicode_script(hb_unicode_funcs_get_default(), c); }

bool neutralScript(hb_script_t s) {
    return s == HB_SCRIPT_COMMON || s == HB_SCRIPT_INHERITED || s == HB_SCRIPT_UNKNOWN;
}

} // namespace

FontSet::FontSet(std::vector<std::shared_ptr<const FontInstance>> members) : members_(std::move(members)) {
    if (members_.empty()) return;
    const FontInstance& head = *members_.front();
    hb_position_t pos = 0;
    if (hb_ot_metrics_get_position(head.font(), HB_OT_METRICS_TAG_HORIZONTAL_ASCENDER, &pos)) {
        ascent_ = pos / head.unitsPerEm();
    }
    if (hb_ot_metrics_get_position(head.font(), HB_OT_METRICS_TAG_HORIZONTAL_DESCENDER, &pos)) {
        descent_ = -pos / head.unitsPerEm();
    }
    if (auto g = head.glyph(0x20)) space_ = head.advance(*g);
}

std::optional<double> SizedFont::spaceAdvance() const {
    auto em = set_->spaceAdvance();
    if (!em) return std::nullopt;
    return *em * size_;
}

std::shared_ptr<const ShapedText> FontSet::shape(std::string_view text) const {
    std::string key(text);
    {
        std::lock_guard guard(lock_);
        if (auto found = shaped_.find(key); found != shaped_.end()) return found->second;
    }
    auto shaped = shapeUncached(text);
    const size_t bytes = key.size() + shaped->glyphs.size() * sizeof(ShapedText::Glyph) +
                         shaped->runs.size() * sizeof(ShapedText::Run);
    if (bytes > shapedBytesCapacity / 8) return shaped;
    std::lock_guard guard(lock_);
    if (shaped_.size() >= shapedCapacity || shapedBytes_ + bytes > shapedBytesCapacity) {
        shaped_.clear();
        shapedBytes_ = 0;
    }
    if (shaped_.try_emplace(std::move(key), shaped).second) shapedBytes_ += bytes;
    return shaped;
}

std::shared_ptr<const ShapedText> FontSet::shapeUncached(std::string_view text) const {
    auto out = std::make_shared<ShapedText>();
    if (text.empty() || members_.empty()) return out;
    const Wide wide(text);
    const int32_t n = static_cast<int32_t>(wide.text.size());

    // A face for every grapheme cluster; never split inside one.
    struct Cluster {
        int32_t begin, end; // UTF-16
        uint32_t face;
    };
    std::vector<Cluster> clusters;
    int32_t from = 0;
    uint32_t emoji = static_cast<uint32_t>(members_.size());
    for (uint32_t i = 0; i < members_.size(); ++i) {
        if (members_[i]->face().hasColorBitmaps()) emoji = i;
    }
    for (int32_t to : boundaries(wide.text, UBRK_CHARACTER)) {
        const std::string_view piece = text.substr(wide.byteOf[from], wide.byteOf[to] - wide.byteOf[from]);
        const auto covers = [&](uint32_t i) {
            bool any = false;
            for (Utf8::Cursor at(piece); !at.done();) {
                const uint32_t c = at.next();
                if (ignorable(c)) continue;
                if (!members_[i]->hasGlyph(c)) return false;
                any = true;
            }
            return any;
        };
        std::optional<uint32_t> face;
        if (emoji < members_.size() && wantsEmoji(piece) && covers(emoji)) face = emoji;
        for (uint32_t i = 0; !face && i < members_.size(); ++i) {
            if (covers(i)) face = i;
        }
        if (!face) {
            bool onlyIgnorable = true;
            for (Utf8::Cursor at(piece); !at.done();) onlyIgnorable = onlyIgnorable && ignorable(at.next());
            if (!onlyIgnorable) throw noGlyph(text);
            face = clusters.empty() ? 0 : clusters.back().face;
        }
        clusters.push_back({from, to, *face});
        from = to;
    }

    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UBiDi, BidiDeleter> bidi(ubidi_openSized(n, 0, &status));
    ubidi_setPara(bidi.get(), reinterpret_cast<const UChar*>(wide.text.data()), n, UBIDI_DEFAULT_LTR, nullptr, &status);
    if (U_FAILURE(status)) throw EngineFailure::internalError("Text could not be shaped.");

    // Runs of whole clusters with one face, one level and one script.
    struct Run {
        int32_t begin, end;
        uint32_t face;
        UBiDiLevel level;
        hb_script_t script;
    };
    std::vector<Run> runs;
    hb_script_t script = HB_SCRIPT_COMMON;
    for (const Cluster& c : clusters) {
        const UBiDiLevel level = ubidi_getLevelAt(bidi.get(), c.begin);
        hb_script_t clusterScript = HB_SCRIPT_COMMON;
        for (Utf8::Cursor at(text.substr(wide.byteOf[c.begin], wide.byteOf[c.end] - wide.byteOf[c.begin]));
             !at.done();) {
            const hb_script_t s = scriptOf(at.next());
            if (!neutralScript(s)) {
                clusterScript = s;
                break;
            }
        }
        if (neutralScript(clusterScript)) clusterScript = script;
        const bool joins = !runs.empty() && runs.back().face == c.face && runs.back().level == level &&
                           (runs.back().script == clusterScript || neutralScript(runs.back().script));
        if (joins) {
            runs.back().end = c.end;
            if (neutralScript(runs.back().script)) runs.back().script = clusterScript;
        } else {
            runs.push_back({c.begin, c.end, c.face, level, clusterScript});
        }
        if (!neutralScript(clusterScript)) script = clusterScript;
    }

    std::vector<UBiDiLevel> levels;
    for (const Run& r : runs) levels.push_back(r.level);
    std::vector<int32_t> visual(runs.size());
    ubidi_reorderVisual(levels.data(), static_cast<int32_t>(levels.size()), visual.data());

    static const hb_feature_t noKern{HB_TAG('k', 'e', 'r', 'n'), 0, HB_FEATURE_GLOBAL_START, HB_FEATURE_GLOBAL_END};
    std::unique_ptr<hb_buffer_t, BufferDeleter> buffer(hb_buffer_create());
    for (int32_t v : visual) {
        const Run& run = runs[static_cast<size_t>(v)];
        const FontInstance& font = *members_[run.face];
        hb_buffer_clear_contents(buffer.get());
        hb_buffer_add_utf8(buffer.get(), text.data(), static_cast<int>(text.size()),
                           wide.byteOf[static_cast<size_t>(run.begin)],
                           static_cast<int>(wide.byteOf[static_cast<size_t>(run.end)] -
                                            wide.byteOf[static_cast<size_t>(run.begin)]));
        hb_buffer_set_direction(buffer.get(), (run.level & 1) ? HB_DIRECTION_RTL : HB_DIRECTION_LTR);
        hb_buffer_set_script(buffer.get(), neutralScript(run.script) ? HB_SCRIPT_LATIN : run.script);
        hb_buffer_set_language(buffer.get(), hb_language_get_default());
        hb_shape(font.font(), buffer.get(), &noKern, 1);
        unsigned count = 0;
        const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer.get(), &count);
        const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buffer.get(), &count);
        ShapedText::Run shapedRun{run.face, out->glyphs.size(), count};
        for (unsigned i = 0; i < count; ++i) {
            if (info[i].codepoint == 0) throw noGlyph(text);
            ShapedText::Glyph g;
            g.face = run.face;
            g.id = info[i].codepoint;
            g.cluster = info[i].cluster;
            g.x = pos[i].x_offset / font.unitsPerEm();
            g.y = pos[i].y_offset / font.unitsPerEm();
            g.advance = pos[i].x_advance / font.unitsPerEm();
            out->advance += g.advance;
            out->glyphs.push_back(g);
        }
        if (count > 0) out->runs.push_back(shapedRun);
    }
    return out;
}

namespace {

// A typesetter over one shaped text. The width of a line is the sum, in
// logical order from its start, of every glyph's advance plus the kerning,
// less the kerning after the last glyph: summed from the line's own start,
// so that a line is measured the same wherever the text around it begins.
class WordTypesetter final : public TextTypesetter {
public:
    WordTypesetter(std::string_view text, const ShapedText& shaped, double kerning, double size)
        : length_(text.size()), kerning_(kerning) {
        const Wide wide(text);
        const auto bytes = [&](UBreakIteratorType type) {
            std::vector<uint32_t> out;
            for (int32_t b : boundaries(wide.text, type)) out.push_back(wide.byteOf[static_cast<size_t>(b)]);
            return out;
        };
        lineMarks_ = bytes(UBRK_LINE);
        graphemeMarks_ = bytes(UBRK_CHARACTER);
        std::vector<size_t> order(shaped.glyphs.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return shaped.glyphs[a].cluster < shaped.glyphs[b].cluster; });
        sums_.push_back(0);
        magnitudes_.push_back(0);
        for (size_t i : order) {
            const ShapedText::Glyph& g = shaped.glyphs[i];
            clusters_.push_back(g.cluster);
            advances_.push_back(g.advance * size + kerning);
            sums_.push_back(sums_.back() + advances_.back());
            magnitudes_.push_back(magnitudes_.back() + std::fabs(advances_.back()));
        }
    }

    size_t suggestLineBreak(size_t start, double maxWidth) const override {
        if (start >= length_) return length_;
        if (auto end = lastFitting(lineMarks_, start, maxWidth)) return *end;
        if (auto end = lastFitting(graphemeMarks_, start, maxWidth)) return *end;
        // At least one whole grapheme cluster, so that a surrogate pair or a
        // combining sequence is never cut.
        const auto next = std::upper_bound(graphemeMarks_.begin(), graphemeMarks_.end(), start);
        return next == graphemeMarks_.end() ? length_ : *next;
    }

private:
    // The last of `marks` after `start` that fits, scanning up to the first
    // that does not. A mark is judged by the prefix sums when they put it
    // beyond doubt past `maxWidth`, so a line never walks the glyphs up to
    // a far break opportunity it cannot reach; every glyph it does walk
    // lies inside the line it returns, or at a width within rounding of
    // `maxWidth`.
    std::optional<size_t> lastFitting(const std::vector<uint32_t>& marks, size_t start, double maxWidth) const {
        std::optional<size_t> best;
        size_t glyph = static_cast<size_t>(
            std::lower_bound(clusters_.begin(), clusters_.end(), start) - clusters_.begin());
        double sum = 0;
        bool any = false;
        for (auto mark = std::upper_bound(marks.begin(), marks.end(), start); mark != marks.end(); ++mark) {
            const size_t to = static_cast<size_t>(
                std::lower_bound(clusters_.begin() + static_cast<std::ptrdiff_t>(glyph), clusters_.end(), *mark) -
                clusters_.begin());
            if (to > glyph) {
                // Both sums round by far less than this over any count of glyphs a text can have.
                const double slack = 1e-7 * (magnitudes_[to] + std::fabs(sum) + std::fabs(kerning_));
                if (sum + (sums_[to] - sums_[glyph]) - kerning_ - slack > maxWidth) break;
                for (; glyph < to; ++glyph) sum += advances_[glyph];
                any = true;
            }
            if ((any ? sum - kerning_ : 0.0) <= maxWidth) best = *mark;
            else break;
        }
        return best;
    }

    size_t length_;
    double kerning_;
    std::vector<uint32_t> lineMarks_, graphemeMarks_; // byte offsets, ascending
    std::vector<uint32_t> clusters_;                  // of the glyphs in logical order
    std::vector<double> advances_;                    // pixels, the kerning included
    std::vector<double> sums_, magnitudes_;           // prefix sums of advances_ and of their sizes
};

} // namespace

std::unique_ptr<TextTypesetter> FontSet::typesetter(std::string_view text, double kerning, double size) const {
    return std::make_unique<WordTypesetter>(text, *shape(text), kerning, size);
}

} // namespace korvel
