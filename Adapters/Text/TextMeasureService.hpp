#pragma once

#include "Adapters/Text/TextCaches.hpp"
#include "Core/Wire/TextMethodTypes.hpp"

namespace korvel {

// render.measureText and render.textLayout: the fit search over the plan's
// text items with the shared font cache, nothing drawn.
namespace TextMeasureService {
TextMeasureResult measure(const TextMeasureParams& params, const TextCaches& text);
TextLayoutResult layout(const TextLayoutParams& params, const TextCaches& text);
} // namespace TextMeasureService

} // namespace korvel
