#pragma once

#include <string_view>

namespace korvel {

// The bundled faces' WOFF2 bytes, compiled into the program.
namespace PackageResources {
std::string_view inter_latin_woff2();
std::string_view playfair_display_italic_latin_woff2();
std::string_view ibm_plex_mono_latin_woff2();
std::string_view montserrat_latin_woff2();
std::string_view poppins_700_latin_woff2();
std::string_view oswald_latin_woff2();
std::string_view anton_latin_woff2();
std::string_view bebas_neue_latin_woff2();
std::string_view space_grotesk_latin_woff2();
std::string_view dm_serif_display_latin_woff2();
std::string_view lora_latin_woff2();
std::string_view abril_fatface_latin_woff2();
std::string_view caveat_latin_woff2();
std::string_view pacifico_latin_woff2();
std::string_view bangers_latin_woff2();
// The system sans, in four subsets.
std::string_view noto_sans_latin_woff2();
std::string_view noto_sans_latin_ext_woff2();
std::string_view noto_sans_cyrillic_woff2();
std::string_view noto_sans_greek_woff2();
} // namespace PackageResources

} // namespace korvel
