#include "Adapters/Text/TextMeasureService.hpp"

#include "Core/ClientText.hpp"
#include "Core/Text/TextLayoutEngine.hpp"
#include "Core/Text/TextWrap.hpp"

#include <algorithm>
#include <optional>

namespace korvel::TextMeasureService {

namespace {

constexpr int noGlyphCode = -32002;

TextLayoutEngine engineFor(const RenderPlan& plan, const TextCaches& text) {
    const RenderSize size{plan.canvas.width, plan.canvas.height};
    return TextLayoutEngine(size, TextMetrics::unit(size.width, size.height), text.fonts);
}

std::optional<TextLayoutItem> laidOut(const TextItem& item, const TextLayoutEngine& engine) {
    TextLayout layout;
    try {
        layout = engine.layout(item);
    } catch (const EngineFailure& failure) {
        if (failure.code == noGlyphCode) return std::nullopt;
        throw;
    }
    if (layout.rows.empty()) return std::nullopt;
    TextLayoutItem out;
    out.id = item.id;
    double minX = layout.rows.front().x, maxX = layout.rows.front().x + layout.rows.front().width;
    for (const auto& r : layout.rows) {
        minX = std::min(minX, r.x);
        maxX = std::max(maxX, r.x + r.width);
        out.rows.push_back(r);
    }
    out.x = minX;
    out.y = layout.rows.front().y;
    out.width = maxX - minX;
    out.height = layout.rows.back().y + layout.rows.back().height - out.y;
    out.scale = layout.scale;
    return out;
}

} // namespace

TextMeasureResult measure(const TextMeasureParams& params, const TextCaches& text) {
    const TextLayoutEngine engine = engineFor(params.plan, text);
    TextMeasureResult result;
    for (const TextItem& item : params.plan.textItems) {
        Task::checkCancellation();
        TextMeasure m;
        m.id = item.id;
        try {
            const TextLayout layout = engine.layout(item);
            m.lines = layout.visualLines;
            m.scale = layout.scale;
            m.overflowPx = layout.overflowPx;
            if (layout.overflowPx != 0) m.issue = TextMeasureIssue::overflow;
        } catch (const EngineFailure& failure) {
            if (failure.code != noGlyphCode) throw;
            m.lines = 0;
            m.scale = 1.0;
            m.overflowPx = 0;
            m.issue = TextMeasureIssue::noGlyph;
        }
        result.items.push_back(std::move(m));
    }
    return result;
}

TextLayoutResult layout(const TextLayoutParams& params, const TextCaches& text) {
    const TextLayoutEngine engine = engineFor(params.plan, text);
    TextLayoutResult result;
    for (const std::string& id : params.ids) {
        Task::checkCancellation();
        const auto& items = params.plan.textItems;
        auto found = std::find_if(items.begin(), items.end(), [&](const TextItem& i) { return i.id == id; });
        if (found == items.end()) throw EngineFailure::invalidParams("The plan has no text item " + ClientText::quoted(id) + ".");
        if (auto item = laidOut(*found, engine)) result.items.push_back(std::move(*item));
    }
    return result;
}

} // namespace korvel::TextMeasureService
