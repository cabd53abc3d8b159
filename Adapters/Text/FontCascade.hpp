#pragma once

#include "Adapters/Text/BundledFonts.hpp"
#include "Adapters/Text/FontFace.hpp"

#include <memory>
#include <string>
#include <vector>

namespace korvel {

// The fallback cascade: a fixed table of our own by language over Debian's
// Noto, Liberation and DejaVu packages, found by path in those packages
// only, so that a measurement never depends on what else a machine holds.
namespace FontCascade {

struct Member {
    std::shared_ptr<const FontFace> face;
    bool weighted = false; // gets the requested weight on its wght axis
};

// The base font of a fallback kind (the system sans: its four subsets).
std::vector<Member> base(Fallback fallback);
// The faces for the languages in their order, then symbols and emoji.
std::vector<Member> forLanguages(const std::vector<std::string>& languages, int64_t weight);

} // namespace FontCascade
} // namespace korvel
