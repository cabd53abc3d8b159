#pragma once

#include "Core/Text/TextFont.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

class FontSet;

// Ready fonts by family, weight, slant, size and languages. Slant and weight
// are checked before anything is built or cached; every table is emptied
// whole when it grows past its bound.
class FontCache final : public TextFontSource {
public:
    FontCache();
    ~FontCache() override;

    std::shared_ptr<const TextFont> font(FontFamily family, int64_t weight, bool italic, double size,
                                         const std::vector<std::string>& languages) override;

    // "inter|700|false|48.0|en,ja"
    static std::string fontKey(FontFamily family, int64_t weight, bool italic, double size,
                               const std::vector<std::string>& languages);
    size_t fontCount() const;
    size_t cascadeCount() const;

    static constexpr size_t fontCapacity = 256;
    static constexpr size_t cascadeCapacity = 256;

private:
    std::shared_ptr<const FontSet> cascade(FontFamily family, int64_t weight, const std::vector<std::string>& languages);

    mutable std::mutex lock_;
    std::unordered_map<std::string, std::shared_ptr<const FontSet>> cascades_;
    std::unordered_map<std::string, std::shared_ptr<const TextFont>> fonts_;
};

} // namespace korvel
