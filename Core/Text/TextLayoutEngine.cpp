#include "Core/Text/TextLayoutEngine.hpp"

#include "Core/ClientText.hpp"
#include "Core/Jobs.hpp"
#include "Core/Text/TextCase.hpp"
#include "Core/Text/TextScript.hpp"
#include "Core/Text/TextWrap.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

struct TextLayoutEngine::VisualLine {
    std::vector<TextToken> tokens;
    std::vector<double> gaps;
    LineLook look;
    double padding = 0;
    bool rightToLeft = false;
    int64_t planLine = 0;
    double wordSpacing = 0;

    double width() const {
        double w = 0;
        for (size_t k = 0; k < tokens.size(); ++k) {
            w += tokens[k].width;
            if (k > 0) w += gaps[k];
        }
        return w;
    }
};

namespace {

struct RoleLook {
    double sizeFactor;
    double letterSpacingEm;
    double lineHeightFactor;
    bool uppercased;
};

RoleLook roleLook(const TextLine& line, const TextStyle& style) {
    if (line.role == TitleLineRole::medium) return {0.5, -0.02, 1.1, false};
    if (line.role == TitleLineRole::smallCaps) return {7.0 / 12.0, -0.025, 1.1, true};
    return {1.0, style.letterSpacingEm, style.lineHeight, false};
}

bool finite(double v) { return std::isfinite(v); }

EngineFailure tooLarge(const TextItem& item) {
    return EngineFailure::invalidParams("Text item " + ClientText::quoted(item.id) + " is too large to lay out.");
}

} // namespace

void TextLayoutEngine::refuseUnsafeSizes(const TextItem& item) const {
    const double w = static_cast<double>(size_.width), h = static_cast<double>(size_.height);
    const double box[] = {item.box.x * w, item.box.y * h, item.box.w * w, item.box.h * h};
    const double base = unit_ * item.style.sizePct;
    for (double v : box) {
        if (!finite(v)) throw tooLarge(item);
    }
    if (!finite(base) || !finite(base * item.style.lineHeight) || !finite(base * item.style.letterSpacingEm)) {
        throw tooLarge(item);
    }
    if (box[2] < 0 || box[3] < 0 || base < 0 || item.style.lineHeight < 0) {
        throw EngineFailure::invalidParams("Text item " + ClientText::quoted(item.id) + " has a negative size.");
    }
    if (base > largestFontPx) throw tooLarge(item);
    size_t bytes = 0;
    for (const auto& line : item.lines) {
        for (const auto& run : line.runs) bytes += run.text.size();
    }
    if (bytes > largestTextBytes) throw tooLarge(item);
}

TextLayout TextLayoutEngine::layout(const TextItem& item) const {
    refuseUnsafeSizes(item);
    const auto fits = [](const TextLayout& l) { return l.overflowPx == 0; };
    TextLayout full = attempt(item, 1.0);
    if (fits(full)) return full;
    Task::checkCancellation();
    TextLayout best = attempt(item, smallestScale);
    if (!fits(best)) return best;
    double lo = smallestScale, hi = 1.0;
    for (int step = 0; step < 8; ++step) {
        Task::checkCancellation();
        const double mid = (lo + hi) / 2;
        TextLayout l = attempt(item, mid);
        if (fits(l)) {
            best = std::move(l);
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return best;
}

TextToken TextLayoutEngine::token(const std::string& text, size_t run, const LineLook& look) const {
    TextToken t;
    t.text = text;
    t.run = run;
    t.font = look.font;
    t.kerning = TextScript::joinsLetters(text) ? 0 : look.kerning;
    t.line = look.font->shape(text);
    t.width = t.line->advance * look.fontSize + static_cast<double>(t.line->glyphs.size()) * t.kerning - t.kerning;
    t.writtenWithoutSpaces = TextScript::isWrittenWithoutSpaces(text);
    return t;
}

std::vector<TextToken> TextLayoutEngine::tokens(const TextLine& line, size_t firstRun, const LineLook& look,
                                                double boxWidth) const {
    std::vector<TextToken> out;
    for (size_t j = 0; j < line.runs.size(); ++j) {
        const std::string text = look.uppercased ? TextCase::upper(line.runs[j].text) : line.runs[j].text;
        for (const std::string& word : TextCase::words(text)) {
            TextToken t = token(word, firstRun + j, look);
            if (!(t.writtenWithoutSpaces && t.width > boxWidth)) {
                out.push_back(std::move(t));
                continue;
            }
            const auto typesetter = look.font->typesetter(word, look.kerning);
            for (size_t at = 0; at < word.size();) {
                size_t end = typesetter->suggestLineBreak(at, boxWidth);
                end = std::clamp(end, at + 1, word.size());
                out.push_back(token(word.substr(at, end - at), firstRun + j, look));
                at = end;
            }
        }
    }
    return out;
}

TextLayout TextLayoutEngine::attempt(const TextItem& item, double s) const {
    bool padded = item.activeWordHighlight;
    std::string allText;
    for (const auto& line : item.lines) {
        for (const auto& run : line.runs) {
            padded = padded || run.keyword;
            allText += run.text;
        }
    }
    const auto languages = TextScript::cascadeLanguages(allText);
    const double W = static_cast<double>(size_.width), H = static_cast<double>(size_.height);
    const double left = item.box.x * W, top = item.box.y * H;
    const double boxWidth = item.box.w * W, boxHeight = item.box.h * H;
    const double base = unit_ * item.style.sizePct;

    TextLayout result;
    result.scale = s;
    std::vector<VisualLine> visual;
    size_t runIndex = 0;
    for (size_t i = 0; i < item.lines.size(); ++i) {
        const TextLine& line = item.lines[i];
        const RoleLook role = roleLook(line, item.style);
        const auto lookAt = [&](double scale) {
            LineLook look;
            look.fontSize = scale * base * role.sizeFactor;
            look.font = fonts_->font(item.style.font, item.style.weight, item.style.italic, look.fontSize, languages);
            look.kerning = role.letterSpacingEm * look.fontSize;
            look.uppercased = role.uppercased;
            return look;
        };
        LineLook look = lookAt(s);
        std::vector<TextToken> toks = tokens(line, runIndex, look, boxWidth);
        double lineScale = s;
        if (!toks.empty()) {
            double widest = 0;
            for (const auto& t : toks) widest = std::max(widest, t.width);
            if (widest > boxWidth) {
                lineScale = std::max(s * boxWidth / widest, smallestScale);
                look = lookAt(lineScale);
                toks = tokens(line, runIndex, look, boxWidth);
            }
        }
        look.lineHeight = look.fontSize * role.lineHeightFactor;
        result.scale = std::min(result.scale, lineScale);
        runIndex += line.runs.size();

        const auto space = look.font->spaceAdvance();
        if (!space) throw EngineFailure::internalError("The bundled font has no space.");
        const double spaceWidth = *space + look.kerning;
        const double padding = padded ? 0.2 * look.fontSize : 0;
        const double gap = std::max(spaceWidth, 2 * padding);
        std::vector<double> gaps(toks.size(), gap);
        for (size_t k = 1; k < toks.size(); ++k) {
            if (toks[k - 1].writtenWithoutSpaces && toks[k].writtenWithoutSpaces) gaps[k] = 0;
        }
        std::string joined;
        for (size_t j = 0; j < line.runs.size(); ++j) {
            if (j > 0) joined += ' ';
            joined += line.runs[j].text;
        }
        const bool rtl = TextScript::isRightToLeft(joined);
        std::vector<double> widths;
        for (const auto& t : toks) widths.push_back(t.width);
        for (const TextSpan& span : TextWrap::balanced(widths, gaps, boxWidth)) {
            VisualLine v;
            v.tokens.assign(toks.begin() + static_cast<std::ptrdiff_t>(span.begin),
                            toks.begin() + static_cast<std::ptrdiff_t>(span.end));
            v.gaps.assign(gaps.begin() + static_cast<std::ptrdiff_t>(span.begin),
                          gaps.begin() + static_cast<std::ptrdiff_t>(span.end));
            v.look = look;
            v.padding = padding;
            v.rightToLeft = rtl;
            v.planLine = static_cast<int64_t>(i);
            v.wordSpacing = gap - spaceWidth;
            visual.push_back(std::move(v));
        }
    }

    double block = 0, widest = 0;
    for (const auto& v : visual) {
        block += v.look.lineHeight;
        widest = std::max(widest, v.width());
    }
    double y = top;
    if (item.role == TextRole::caption) y = top + boxHeight - block;
    else if (item.role == TextRole::callToAction) y = top + (boxHeight - block) / 2;

    for (auto& v : visual) {
        const double rowWidth = v.width();
        const double x0 = left + (boxWidth - rowWidth) / 2;
        TextRow row;
        row.planLine = v.planLine;
        row.x = x0 - v.padding;
        row.y = y;
        row.width = rowWidth + 2 * v.padding;
        row.height = v.look.lineHeight;
        row.fontSize = v.look.fontSize;
        row.lineHeight = v.look.lineHeight;
        row.letterSpacing = v.look.kerning;
        row.wordSpacing = v.wordSpacing;
        row.uppercase = v.look.uppercased;
        result.rows.push_back(row);

        const double ascent = v.look.font->ascent(), descent = v.look.font->descent();
        const double baseline = H - (y + ascent + (v.look.lineHeight - ascent - descent) / 2);
        double pen = v.rightToLeft ? x0 + rowWidth : x0;
        for (size_t k = 0; k < v.tokens.size(); ++k) {
            PlacedToken p;
            p.token = std::move(v.tokens[k]);
            if (v.rightToLeft) {
                if (k > 0) pen -= v.gaps[k];
                pen -= p.token.width;
                p.x = pen;
            } else {
                if (k > 0) pen += v.gaps[k];
                p.x = pen;
                pen += p.token.width;
            }
            p.baseline = baseline;
            p.ascent = ascent;
            p.descent = descent;
            p.padding = p.token.writtenWithoutSpaces ? 0 : v.padding;
            p.lineHeight = v.look.lineHeight;
            result.placed.push_back(std::move(p));
        }
        y += v.look.lineHeight;
    }

    result.visualLines = static_cast<int64_t>(visual.size());
    result.widestLinePx = widest;
    result.heightPx = block;
    const double widthExcess = widest - boxWidth, heightExcess = block - boxHeight;
    result.overflowPx = (widthExcess > 0.5 ? widthExcess : 0) + (heightExcess > 0.5 ? heightExcess : 0);

    // Sizes that pass the checks can still add up past a double.
    bool allFinite = finite(result.overflowPx) && finite(result.heightPx) && finite(result.widestLinePx);
    for (const auto& r : result.rows) {
        allFinite = allFinite && finite(r.x) && finite(r.y) && finite(r.width) && finite(r.height) &&
                    finite(r.letterSpacing) && finite(r.wordSpacing);
    }
    if (!allFinite) throw tooLarge(item);
    return result;
}

} // namespace korvel
