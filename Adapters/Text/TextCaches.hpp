#pragma once

#include "Adapters/Text/FontCache.hpp"
#include "Adapters/Text/TextValidationCache.hpp"

#include <memory>

namespace korvel {

// The font cache and the validated text keys, one pair per engine, shared
// by the text methods and every render.
struct TextCaches {
    std::shared_ptr<FontCache> fonts = std::make_shared<FontCache>();
    std::shared_ptr<TextValidationCache> validated = std::make_shared<TextValidationCache>();
};

} // namespace korvel
