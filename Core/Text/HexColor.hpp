#pragma once

#include <array>
#include <string_view>

namespace korvel {

// The plan's colour strings: "#" and exactly six hexadecimal digits, read
// as ITU-R 709 encoded red, green and blue.
namespace HexColor {
// r, g, b in 0...1; -32602 "<string> is not a color like #rrggbb." otherwise.
std::array<double, 3> components(std::string_view text);
// The colour at an opacity (clamped to 0...1) in the compositor's working
// space: linear light, premultiplied RGBA.
std::array<float, 4> working(std::string_view text, double opacity);
} // namespace HexColor

} // namespace korvel
