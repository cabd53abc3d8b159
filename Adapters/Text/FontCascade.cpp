#include "Adapters/Text/FontCascade.hpp"

#include <map>
#include <mutex>
#include <utility>

namespace korvel::FontCascade {

namespace {

const std::string noto = "/usr/share/fonts/truetype/noto/";
const std::string notoCJK = "/usr/share/fonts/opentype/noto/";

// A face of a system package, mapped once per process.
std::shared_ptr<const FontFace> systemFace(const std::string& path, unsigned index) {
    static std::mutex lock;
    static std::map<std::pair<std::string, unsigned>, std::shared_ptr<const FontFace>> faces;
    const auto key = std::make_pair(path, index);
    {
        std::lock_guard guard(lock);
        if (auto found = faces.find(key); found != faces.end()) return found->second;
    }
    auto face = FontFace::fromFile(path, index);
    std::lock_guard guard(lock);
    return faces.emplace(key, face).first->second;
}

struct Script {
    const char* language;
    const char* file; // "<name>" names <name>-Regular.ttf and <name>-Bold.ttf
};

constexpr Script scripts[] = {
    {"ar", "NotoSansArabic"},  {"ur", "NotoNastaliqUrdu"}, {"he", "NotoSansHebrew"},  {"th", "NotoSansThai"},
    {"hi", "NotoSansDevanagari"}, {"ru", "NotoSans"},      {"el", "NotoSans"},        {"bn", "NotoSansBengali"},
    {"ta", "NotoSansTamil"},   {"te", "NotoSansTelugu"},   {"my", "NotoSansMyanmar"}, {"km", "NotoSansKhmer"},
    {"lo", "NotoSansLao"},     {"ka", "NotoSansGeorgian"}, {"hy", "NotoSansArmenian"},
};

// Scripts no language of the list names, looked at after the list.
constexpr const char* tail[] = {
    "NotoSans",          "NotoSansGujarati",  "NotoSansGurmukhi",  "NotoSansKannada",  "NotoSansMalayalam",
    "NotoSansOriya",     "NotoSansSinhala",   "NotoSansEthiopic",  "NotoSansSyriac",   "NotoSansThaana",
    "NotoSansMongolian", "NotoSansTifinagh",  "NotoSansCherokee",  "NotoSansNKo",      "NotoSansJavanese",
    "NotoSansBalinese",  "NotoSansSundanese", "NotoSansCanadianAboriginal", "NotoSansMath", "NotoSansSymbols",
    "NotoSansSymbols2",
};

unsigned cjkIndex(const std::string& language) {
    if (language == "ja") return 0;
    if (language == "ko") return 1;
    if (language == "zh-Hans") return 2;
    return 3; // zh-Hant
}

// The nearer of the packages' two weights.
bool bold(int64_t weight) { return weight > 550; }

} // namespace

std::vector<Member> base(Fallback fallback) {
    std::vector<Member> out;
    switch (fallback) {
    case Fallback::sans:
        for (const auto& face : BundledFonts::systemSans()) out.push_back({face, true});
        break;
    case Fallback::serif:
        out.push_back({systemFace("/usr/share/fonts/truetype/liberation2/LiberationSerif-Regular.ttf", 0), false});
        break;
    case Fallback::serifItalic:
        out.push_back({systemFace("/usr/share/fonts/truetype/liberation2/LiberationSerif-Italic.ttf", 0), false});
        break;
    case Fallback::mono:
        out.push_back({systemFace("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", 0), false});
        break;
    }
    std::erase_if(out, [](const Member& m) { return !m.face; });
    return out;
}

std::vector<Member> forLanguages(const std::vector<std::string>& languages, int64_t weight) {
    std::vector<Member> out;
    const bool heavy = bold(weight);
    const auto add = [&](const std::shared_ptr<const FontFace>& face) {
        if (!face) return;
        for (const auto& m : out) {
            if (m.face == face) return;
        }
        out.push_back({face, false});
    };
    // Some scripts ship only a regular weight.
    const auto addNoto = [&](const std::string& name) {
        auto face = heavy ? systemFace(noto + name + "-Bold.ttf", 0) : nullptr;
        add(face ? face : systemFace(noto + name + "-Regular.ttf", 0));
    };
    for (const auto& language : languages) {
        if (language == "ja" || language == "ko" || language == "zh-Hans" || language == "zh-Hant") {
            add(systemFace(notoCJK + (heavy ? "NotoSansCJK-Bold.ttc" : "NotoSansCJK-Regular.ttc"), cjkIndex(language)));
            continue;
        }
        for (const Script& s : scripts) {
            if (language == s.language) addNoto(s.file);
        }
    }
    for (const char* name : tail) addNoto(name);
    add(systemFace(noto + "NotoColorEmoji.ttf", 0));
    add(systemFace("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 0));
    return out;
}

} // namespace korvel::FontCascade
