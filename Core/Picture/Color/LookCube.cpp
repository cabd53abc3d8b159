#include "Core/Picture/Color/LookCube.hpp"

#include <algorithm>

namespace korvel {

const std::map<std::string, LookCube::Recipe>& LookCube::recipes() {
    static const std::map<std::string, Recipe> table{
        {"warm_cinema", Recipe{0.25f, 1.08f, {1.04f, 1.0f, 0.93f}, {0.01f, 0.005f, 0.0f}}},
        {"cool_film", Recipe{0.2f, 0.95f, {0.95f, 1.0f, 1.05f}, {0.0f, 0.004f, 0.012f}}},
    };
    return table;
}

const std::vector<std::string>& LookCube::names() {
    static const std::vector<std::string> sorted = [] {
        std::vector<std::string> keys;
        for (const auto& [name, recipe] : recipes()) keys.push_back(name);
        return keys; // a std::map iterates in ascending order
    }();
    return sorted;
}

std::vector<float> LookCube::values(const std::string& look, double strength) {
    auto found = recipes().find(look);
    if (found == recipes().end()) throw Failure{Failure::Kind::unknownLook, look};
    const Recipe& recipe = found->second;
    const float s = static_cast<float>(strength);
    const float c = recipe.contrast;
    const float sat = recipe.saturation;
    float grid[dimension];
    float curve[dimension];
    for (int i = 0; i < dimension; ++i) {
        float x = static_cast<float>(i) / 32.0f;
        grid[i] = x;
        curve[i] = (1 - c) * x + c * ((x * x) * (3 - (x + x)));
    }
    std::vector<float> out(static_cast<size_t>(dimension * dimension * dimension * 4));
    auto clamp01 = [](float v) { return !(v >= 0) ? 0.0f : (v > 1 ? 1.0f : v); };
    size_t at = 0;
    for (int ib = 0; ib < dimension; ++ib) {
        for (int ig = 0; ig < dimension; ++ig) {
            for (int ir = 0; ir < dimension; ++ir) {
                float sr = curve[ir], sg = curve[ig], sb = curve[ib];
                float y = 0.0722f * sb + (0.7152f * sg + 0.2126f * sr);
                float outR = clamp01(recipe.lift.r + recipe.gains.r * (y + sat * (sr - y)));
                float outG = clamp01(recipe.lift.g + recipe.gains.g * (y + sat * (sg - y)));
                float outB = clamp01(recipe.lift.b + recipe.gains.b * (y + sat * (sb - y)));
                float r = grid[ir], g = grid[ig], b = grid[ib];
                out[at++] = r + (outR - r) * s;
                out[at++] = g + (outG - g) * s;
                out[at++] = b + (outB - b) * s;
                out[at++] = 1.0f;
            }
        }
    }
    return out;
}

std::vector<float> GrainGrid::tile(int64_t seed) {
    const uint64_t state = static_cast<uint64_t>(seed);
    const size_t count = static_cast<size_t>(tileSize) * tileSize;
    std::vector<float> values(count);
    uint64_t n = 0;
    auto unit = [&] { return static_cast<float>(SplitMix64::output(state, ++n) >> 40) / 16777216.0f; };
    for (size_t i = 0; i < count; ++i) {
        float u1 = unit(), u2 = unit(), u3 = unit(), u4 = unit();
        values[i] = (((u1 + u2) + u3) + u4) * 0.5f - 1.0f;
    }
    return values;
}

GrainOffset GrainGrid::offset(int64_t seed, int64_t sourceUs) {
    uint64_t state = (static_cast<uint64_t>(seed) * SplitMix64::golden) ^ static_cast<uint64_t>(sourceUs);
    return GrainOffset{static_cast<int64_t>(SplitMix64::output(state, 1) & 511),
                       static_cast<int64_t>(SplitMix64::output(state, 2) & 511)};
}

uint8_t GrainGrid::byteOf(float v) {
    float q = (v * 0.5f + 0.5f) * 255.0f;
    q = std::clamp(q, 0.0f, 255.0f);
    return static_cast<uint8_t>(q);
}

} // namespace korvel
