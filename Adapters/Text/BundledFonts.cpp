#include "Adapters/Text/BundledFonts.hpp"

#include "Adapters/Text/PackageResources.hpp"

#include <array>
#include <mutex>

namespace korvel::BundledFonts {

namespace {

struct Row {
    const char* name;
    std::string_view (*bytes)();
    int64_t low, high;
    bool italic;
    Fallback fallback;
};

// In the order of FontFamily.
constexpr std::array<Row, 15> table{{
    {"Inter", PackageResources::inter_latin_woff2, 100, 900, false, Fallback::sans},
    {"Playfair Display", PackageResources::playfair_display_italic_latin_woff2, 400, 900, true, Fallback::serifItalic},
    {"IBM Plex Mono", PackageResources::ibm_plex_mono_latin_woff2, 400, 400, false, Fallback::mono},
    {"Montserrat", PackageResources::montserrat_latin_woff2, 100, 900, false, Fallback::sans},
    {"Poppins", PackageResources::poppins_700_latin_woff2, 700, 700, false, Fallback::sans},
    {"Oswald", PackageResources::oswald_latin_woff2, 200, 700, false, Fallback::sans},
    {"Anton", PackageResources::anton_latin_woff2, 400, 400, false, Fallback::sans},
    {"Bebas Neue", PackageResources::bebas_neue_latin_woff2, 400, 400, false, Fallback::sans},
    {"Space Grotesk", PackageResources::space_grotesk_latin_woff2, 300, 700, false, Fallback::sans},
    {"DM Serif Display", PackageResources::dm_serif_display_latin_woff2, 400, 400, false, Fallback::serif},
    {"Lora", PackageResources::lora_latin_woff2, 400, 700, false, Fallback::serif},
    {"Abril Fatface", PackageResources::abril_fatface_latin_woff2, 400, 400, false, Fallback::serif},
    {"Caveat", PackageResources::caveat_latin_woff2, 400, 700, false, Fallback::sans},
    {"Pacifico", PackageResources::pacifico_latin_woff2, 400, 400, false, Fallback::sans},
    {"Bangers", PackageResources::bangers_latin_woff2, 400, 400, false, Fallback::sans},
}};

} // namespace

std::variant<std::shared_ptr<const FontFace>, EngineFailure> descriptor(std::string_view bytes,
                                                                        const std::string& name) {
    if (bytes.size() >= 4 && bytes.substr(0, 4) == "wOF2") {
        if (auto face = FontFace::fromWoff2(bytes)) return face;
    }
    return EngineFailure::internalError("The bundled font " + name + " can't be read.");
}

const Face& face(FontFamily family) {
    static std::array<Face, 15> faces;
    static std::array<std::once_flag, 15> once;
    const size_t i = static_cast<size_t>(family);
    std::call_once(once.at(i), [i] {
        const Row& row = table[i];
        Face& f = faces[i];
        f.name = row.name;
        f.lowestWeight = row.low;
        f.highestWeight = row.high;
        f.italic = row.italic;
        f.fallback = row.fallback;
        f.descriptor = descriptor(row.bytes(), f.name);
    });
    return faces[i];
}

const std::vector<std::shared_ptr<const FontFace>>& systemSans() {
    static const std::vector<std::shared_ptr<const FontFace>> faces = [] {
        std::vector<std::shared_ptr<const FontFace>> out;
        for (auto bytes : {PackageResources::noto_sans_latin_woff2, PackageResources::noto_sans_latin_ext_woff2,
                           PackageResources::noto_sans_cyrillic_woff2, PackageResources::noto_sans_greek_woff2}) {
            if (auto face = FontFace::fromWoff2(bytes())) out.push_back(face);
        }
        return out;
    }();
    return faces;
}

} // namespace korvel::BundledFonts
