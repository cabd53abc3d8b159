#include "Core/Text/HexColor.hpp"

#include "Core/ClientText.hpp"
#include "Core/Jobs.hpp"
#include "Core/Picture/Color/ColorMath.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace korvel::HexColor {

namespace {
int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
} // namespace

std::array<double, 3> components(std::string_view text) {
    const auto refuse = [&] {
        return EngineFailure::invalidParams(ClientText::quoted(text) + " is not a color like #rrggbb.");
    };
    // Only the six digits themselves: no sign, prefix or space a number parser would take.
    if (text.size() != 7 || text[0] != '#') throw refuse();
    std::array<double, 3> rgb{};
    for (size_t i = 0; i < 3; ++i) {
        const int hi = digit(text[1 + 2 * i]), lo = digit(text[2 + 2 * i]);
        if (hi < 0 || lo < 0) throw refuse();
        rgb[i] = static_cast<double>(hi * 16 + lo) / 255.0;
    }
    return rgb;
}

std::array<float, 4> working(std::string_view text, double opacity) {
    const auto rgb = components(text);
    const double a = std::isfinite(opacity) ? std::clamp(opacity, 0.0, 1.0) : 0.0;
    const auto linear = [](double v) { return static_cast<double>(ColorMath::decode709(static_cast<float>(v))); };
    return {static_cast<float>(linear(rgb[0]) * a), static_cast<float>(linear(rgb[1]) * a),
            static_cast<float>(linear(rgb[2]) * a), static_cast<float>(a)};
}

} // namespace korvel::HexColor
