#pragma once

#include "Adapters/Text/FontFace.hpp"
#include "Core/Jobs.hpp"
#include "Core/Plan/TextStyle.hpp"

#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace korvel {

// Which font heads a family's fallback cascade.
enum class Fallback { sans, serif, serifItalic, mono };

// The fifteen faces compiled into the program, one per family, each built on
// first use. A face whose bytes cannot be read keeps its failure and reports
// it on every request.
namespace BundledFonts {

struct Face {
    std::variant<std::shared_ptr<const FontFace>, EngineFailure> descriptor;
    std::string name;
    int64_t lowestWeight = 400;
    int64_t highestWeight = 400;
    bool italic = false;
    Fallback fallback = Fallback::sans;
};

const Face& face(FontFamily family);
// The face or -32603 "The bundled font <name> can't be read.".
std::variant<std::shared_ptr<const FontFace>, EngineFailure> descriptor(std::string_view bytes, const std::string& name);
// The system sans in its subsets (latin, latin-ext, cyrillic, greek).
const std::vector<std::shared_ptr<const FontFace>>& systemSans();

} // namespace BundledFonts
} // namespace korvel
