// Our look cube and grain blend against FFmpeg's filters on the same 8-bit
// pictures: the same cube as a .cube file through lut3d, and the same grain
// layer through blend's soft light.
#include "Core/Picture/Color/LookCube.hpp"
#include "Core/Picture/Steps/CubeStep.hpp"
#include "Core/Picture/Steps/GrainStep.hpp"
#include "MediaFixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iomanip>

using namespace korvel;
namespace fs = std::filesystem;
namespace fx = korvel::MediaFixtures;

namespace {
constexpr int W = 96, H = 64;

fs::path dir() {
    fs::path d = fx::folder() / ("reference-" + std::to_string(getpid()));
    fs::create_directories(d);
    return d;
}

// A testsrc2 frame as planar G, B, R bytes.
std::vector<uint8_t> frame() {
    fs::path out = dir() / "frame.gbrp";
    fx::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=96x64 -frames:v 1 -pix_fmt gbrp -f rawvideo '" +
                   out.string() + "'");
    std::ifstream in(out, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> run(const std::string& inputs, const std::string& filter) {
    fs::path out = dir() / "out.gbrp";
    fs::remove(out);
    fx::runCommand("ffmpeg -nostdin -v error -y " + inputs + " -lavfi '" + filter +
                   ",format=gbrp' -frames:v 1 -f rawvideo '" + out.string() + "'");
    std::ifstream in(out, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

std::string raw(const fs::path& file) {
    return "-f rawvideo -pix_fmt gbrp -s 96x64 -i '" + file.string() + "'";
}

// Gamma-encoded RGBA floats of planar G, B, R bytes.
std::vector<float> pixels(const std::vector<uint8_t>& gbrp) {
    std::vector<float> px(static_cast<size_t>(W) * H * 4);
    for (size_t i = 0; i < static_cast<size_t>(W) * H; ++i) {
        px[i * 4] = gbrp[2 * W * H + i] / 255.0f;
        px[i * 4 + 1] = gbrp[i] / 255.0f;
        px[i * 4 + 2] = gbrp[W * H + i] / 255.0f;
        px[i * 4 + 3] = 1;
    }
    return px;
}

struct Difference {
    double mean = 0, worst = 0;
};
Difference compare(const std::vector<float>& ours, const std::vector<uint8_t>& theirs) {
    Difference d;
    EXPECT_EQ(theirs.size(), static_cast<size_t>(W) * H * 3);
    if (theirs.size() != static_cast<size_t>(W) * H * 3) return {1e9, 1e9};
    for (size_t i = 0; i < static_cast<size_t>(W) * H; ++i) {
        const int plane[3] = {2, 0, 1};
        for (int c = 0; c < 3; ++c) {
            double v = std::fabs(ours[i * 4 + c] * 255.0 - theirs[static_cast<size_t>(plane[c]) * W * H + i]);
            d.mean += v;
            d.worst = std::max(d.worst, v);
        }
    }
    d.mean /= W * H * 3.0;
    return d;
}
} // namespace

TEST(ReferenceFilters, LookCubeMatchesLut3dOnTheSameCube) {
    auto cube = LookCube::values("warm_cinema", 1);
    fs::path file = dir() / "warm.cube";
    {
        std::ofstream out(file);
        out << "LUT_3D_SIZE 33\n" << std::setprecision(9);
        for (size_t i = 0; i < cube.size(); i += 4) out << cube[i] << ' ' << cube[i + 1] << ' ' << cube[i + 2] << '\n';
    }
    auto source = frame();
    fs::path in = dir() / "in.gbrp";
    writeBytes(in, source);
    auto theirs = run(raw(in), "lut3d=file='" + file.string() + "':interp=trilinear");
    auto ours = pixels(source);
    CubeStep(std::make_shared<const std::vector<float>>(cube), 33).run(ours.data(), W * H, 0, 0);
    Difference d = compare(ours, theirs);
    EXPECT_LT(d.mean, 0.6);
    EXPECT_LE(d.worst, 1.5);
    fs::remove_all(dir());
}

TEST(ReferenceFilters, GrainSoftLightMatchesBlendSoftLight) {
    // Our grain layer at strength 0.3, written as a grey picture for blend.
    auto values = GrainGrid::tile(11);
    auto tile = std::make_shared<std::vector<float>>(values.size());
    for (size_t i = 0; i < values.size(); ++i) (*tile)[i] = GrainGrid::byteOf(values[i]) / 255.0f;
    GrainStep grain(tile, GrainGrid::offset(11, 40000), 1.0, 0.3, H);
    const float a = 0.8f * 0.3f;
    std::vector<uint8_t> layer(static_cast<size_t>(W) * H * 3);
    std::vector<float> level(static_cast<size_t>(W) * H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            float s = a * grain.level(x, y) + (1 - a) * 0.5f;
            uint8_t q = static_cast<uint8_t>(std::lround(s * 255));
            level[static_cast<size_t>(y) * W + x] = q / 255.0f;
            for (int p = 0; p < 3; ++p) layer[static_cast<size_t>(p) * W * H + static_cast<size_t>(y) * W + x] = q;
        }
    auto source = frame();
    fs::path in = dir() / "base.gbrp", top = dir() / "grain.gbrp";
    writeBytes(in, source);
    writeBytes(top, layer);
    auto theirs = run(raw(in) + " " + raw(top), "[0][1]blend=all_mode=softlight");
    auto ours = pixels(source);
    for (size_t i = 0; i < level.size(); ++i)
        for (int c = 0; c < 3; ++c) ours[i * 4 + c] = GrainStep::softLight(ours[i * 4 + c], level[i]);
    // FFmpeg's soft light is the smooth variant of the same blend in whole
    // numbers; they part by a few code values where the grain is strongest.
    Difference d = compare(ours, theirs);
    EXPECT_LT(d.mean, 1.5);
    EXPECT_LE(d.worst, 8);
    fs::remove_all(dir());
}
