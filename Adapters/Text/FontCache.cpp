#include "Adapters/Text/FontCache.hpp"

#include "Adapters/Text/BundledFonts.hpp"
#include "Adapters/Text/FontCascade.hpp"
#include "Adapters/Text/FontSet.hpp"
#include "Core/Wire/Contract.hpp"

#include <charconv>
#include <map>

namespace korvel {

namespace {

std::string caseName(FontFamily family) {
    static constexpr const char* names[] = {"inter",      "playfairDisplay", "ibmPlexMono",    "montserrat",
                                            "poppins",    "oswald",          "anton",          "bebasNeue",
                                            "spaceGrotesk", "dmSerifDisplay", "lora",          "abrilFatface",
                                            "caveat",     "pacifico",        "bangers"};
    return names[static_cast<size_t>(family)];
}

std::string joined(const std::vector<std::string>& languages) {
    std::string out;
    for (size_t i = 0; i < languages.size(); ++i) {
        if (i > 0) out += ',';
        out += languages[i];
    }
    return out;
}

// The shortest text that reads back as the same double, always with a fraction.
std::string decimal(double v) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, end);
    if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
    return s;
}

// Faces of static fonts are shared by every cascade; weighted ones are made per weight.
std::shared_ptr<const FontInstance> instance(const std::shared_ptr<const FontFace>& face, bool weighted,
                                             int64_t weight) {
    if (weighted && face->weightAxis()) return std::make_shared<FontInstance>(face, static_cast<double>(weight));
    static std::mutex lock;
    static std::map<const FontFace*, std::shared_ptr<const FontInstance>> shared;
    std::lock_guard guard(lock);
    auto& slot = shared[face.get()];
    if (!slot) slot = std::make_shared<FontInstance>(face, std::nullopt);
    return slot;
}

} // namespace

FontCache::FontCache() = default;
FontCache::~FontCache() = default;

std::string FontCache::fontKey(FontFamily family, int64_t weight, bool italic, double size,
                               const std::vector<std::string>& languages) {
    return caseName(family) + "|" + std::to_string(weight) + "|" + (italic ? "true" : "false") + "|" + decimal(size) +
           "|" + joined(languages);
}

size_t FontCache::fontCount() const {
    std::lock_guard guard(lock_);
    return fonts_.size();
}

size_t FontCache::cascadeCount() const {
    std::lock_guard guard(lock_);
    return cascades_.size();
}

std::shared_ptr<const FontSet> FontCache::cascade(FontFamily family, int64_t weight,
                                                  const std::vector<std::string>& languages) {
    const std::string key = caseName(family) + "|" + std::to_string(weight) + "|" + joined(languages);
    {
        std::lock_guard guard(lock_);
        if (auto found = cascades_.find(key); found != cascades_.end()) return found->second;
    }
    const BundledFonts::Face& face = BundledFonts::face(family);
    std::vector<std::shared_ptr<const FontInstance>> members;
    members.push_back(instance(std::get<std::shared_ptr<const FontFace>>(face.descriptor), true, weight));
    for (const auto& m : FontCascade::base(face.fallback)) members.push_back(instance(m.face, m.weighted, weight));
    for (const auto& m : FontCascade::forLanguages(languages, weight)) {
        members.push_back(instance(m.face, m.weighted, weight));
    }
    auto set = std::make_shared<const FontSet>(std::move(members));
    std::lock_guard guard(lock_);
    if (cascades_.size() >= cascadeCapacity) cascades_.clear();
    cascades_[key] = set;
    return set;
}

std::shared_ptr<const TextFont> FontCache::font(FontFamily family, int64_t weight, bool italic, double size,
                                                const std::vector<std::string>& languages) {
    const std::string key = fontKey(family, weight, italic, size, languages);
    {
        std::lock_guard guard(lock_);
        if (auto found = fonts_.find(key); found != fonts_.end()) return found->second;
    }
    // Checked before anything is built, so that refused requests leave no trace.
    const BundledFonts::Face& face = BundledFonts::face(family);
    if (italic != face.italic) {
        throw EngineFailure::invalidParams(face.name +
                                           (face.italic ? " is bundled in italic only." : " is bundled upright only."));
    }
    if (weight < face.lowestWeight || weight > face.highestWeight) {
        throw EngineFailure::invalidParams(face.name + " is bundled in weights " + std::to_string(face.lowestWeight) +
                                           " to " + std::to_string(face.highestWeight) + ", not " +
                                           std::to_string(weight) + ".");
    }
    if (const auto* failure = std::get_if<EngineFailure>(&face.descriptor)) throw *failure;
    auto font = std::make_shared<const SizedFont>(cascade(family, weight, languages), size);
    std::lock_guard guard(lock_);
    if (fonts_.size() >= fontCapacity) fonts_.clear();
    fonts_[key] = font;
    return font;
}

} // namespace korvel
