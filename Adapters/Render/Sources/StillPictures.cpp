#include "Adapters/Render/Sources/StillPictures.hpp"

#include "Adapters/Render/Sources/StillImages.hpp"
#include "Core/Picture/Color/ColorMath.hpp"

#include <array>

namespace korvel::StillPictures {

std::optional<RGBAImage> decoded(const std::filesystem::path& file, int64_t canvasLongEdge) {
    auto picture = StillImages::thumbnail(file, bound(canvasLongEdge));
    if (!picture || picture->width <= 0 || picture->height <= 0) return std::nullopt;
    std::array<float, 256> linear;
    for (int i = 0; i < 256; ++i) linear[static_cast<size_t>(i)] = ColorMath::decodeSRGB(static_cast<float>(i) / 255.0f);
    RGBAImage out = RGBAImage::transparent(0, 0, static_cast<int>(picture->width), static_cast<int>(picture->height));
    const int bands = picture->bands;
    const uint8_t* p = picture->pixels.data();
    for (size_t i = 0, n = static_cast<size_t>(out.width) * out.height; i < n; ++i, p += bands) {
        bool grey = bands <= 2;
        float r = linear[p[0]], g = linear[grey ? p[0] : p[1]], b = linear[grey ? p[0] : p[2]];
        float a = bands == 2 ? p[1] / 255.0f : bands == 4 ? p[3] / 255.0f : 1.0f;
        float* d = &out.pixels[i * 4];
        d[0] = r * a;
        d[1] = g * a;
        d[2] = b * a;
        d[3] = a;
    }
    return out;
}

} // namespace korvel::StillPictures
