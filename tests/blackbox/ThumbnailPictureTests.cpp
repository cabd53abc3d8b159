// asset.thumbnail shows the picture render.frame shows of the same source:
// mirrored and turned by its display matrix, HDR brought to standard range.
// Media made with the ffmpeg tool; the matrices are written into the track
// header here, as this ffmpeg writes only turns.

#include "EngineProcess.hpp"
#include "tests/support/Shell.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::runCommand;
using korvel::testing::sha256sum;
namespace fs = std::filesystem;

namespace {

const std::string ff = "ffmpeg -nostdin -v error -y ";

void make(const std::string& command) { EXPECT_TRUE(runCommand(command)) << command; }

void put32(std::string& bytes, size_t at, int64_t value) {
    auto v = static_cast<uint32_t>(static_cast<int32_t>(value));
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
}

// A copy of the movie whose only track header carries the matrix
// [a b; c d] (x' = a·x + c·y), moved back onto the positive quadrant.
void withMatrix(const fs::path& from, const fs::path& to, int a, int b, int c, int d, int width, int height) {
    std::ifstream in(from, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t tkhd = bytes.find("tkhd");
    ASSERT_NE(tkhd, std::string::npos);
    ASSERT_EQ(bytes.find("tkhd", tkhd + 4), std::string::npos) << "one track";
    const bool wide = bytes[tkhd + 4] == 1;
    // version and flags, times, track id, duration; reserved, layer, group, volume
    const size_t matrix = tkhd + 4 + 4 + (wide ? 32 : 20) + 16;
    const int64_t tx = std::max(0, -a) * width + std::max(0, -c) * height;
    const int64_t ty = std::max(0, -b) * width + std::max(0, -d) * height;
    const int64_t fixed = 1 << 16;
    const int64_t entries[9] = {a * fixed, b * fixed, 0, c * fixed, d * fixed, 0, tx * fixed, ty * fixed, 1 << 30};
    for (size_t i = 0; i < 9; ++i) put32(bytes, matrix + 4 * i, entries[i]);
    std::ofstream(to, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct Pixels {
    int width = 0, height = 0;
    std::string rgb;

    std::array<int, 3> at(double x, double y) const {
        auto px = static_cast<size_t>(x * width), py = static_cast<size_t>(y * height);
        size_t i = (py * static_cast<size_t>(width) + px) * 3;
        return {static_cast<unsigned char>(rgb[i]), static_cast<unsigned char>(rgb[i + 1]),
                static_cast<unsigned char>(rgb[i + 2])};
    }
    std::array<double, 3> mean() const {
        std::array<double, 3> sum{};
        for (size_t i = 0; i < rgb.size(); ++i) sum[i % 3] += static_cast<unsigned char>(rgb[i]);
        for (double& s : sum) s /= static_cast<double>(rgb.size() / 3);
        return sum;
    }
    // The colour of each quadrant's middle by the channels that are lit:
    // R, G, B or W, else '?'; top left, top right, bottom left, bottom right.
    std::string quadrants() const {
        std::string out;
        for (auto [x, y] : {std::pair{0.25, 0.25}, {0.75, 0.25}, {0.25, 0.75}, {0.75, 0.75}}) {
            auto p = at(x, y);
            int lit = (p[0] > 128 ? 4 : 0) | (p[1] > 128 ? 2 : 0) | (p[2] > 128 ? 1 : 0);
            out += lit == 4 ? 'R' : lit == 2 ? 'G' : lit == 1 ? 'B' : lit == 7 ? 'W' : '?';
        }
        return out;
    }
};

Pixels pixelsOf(const fs::path& image, const std::string& filter = "format=rgb24") {
    Pixels p;
    auto size = runCommand("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x '" +
                           image.string() + "'");
    if (!size || std::sscanf(size->c_str(), "%dx%d", &p.width, &p.height) != 2) {
        ADD_FAILURE() << "can't read " << image;
        return p;
    }
    p.rgb = runCommand(ff + "-i '" + image.string() + "' -frames:v 1 -vf " + filter + " -f rawvideo -pix_fmt rgb24 -")
                .value_or("");
    EXPECT_EQ(p.rgb.size(), static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * 3) << image;
    p.rgb.resize(static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * 3, '\0');
    return p;
}

std::string sourceJSON(const fs::path& file) {
    return R"({"path":")" + file.string() + R"(","contentHash":")" + sha256sum(file) + "\"}";
}

// A plan holding the whole source on a canvas of its display size.
std::string fullFramePlan(int64_t width, int64_t height) {
    return R"({"version":1,"canvas":{"format":"horizontal","width":)" + std::to_string(width) + R"(,"height":)" +
           std::to_string(height) +
           R"(,"fps":{"num":25,"den":1}},"segments":[{"assetId":"a","srcStartUs":0,"srcEndUs":400000,)"
           R"("outStartUs":0,"outEndUs":400000,"speed":1.0,"transform":{"keyframes":[{"outUs":0,)"
           R"("center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null}],"videoOverlays":[],"textItems":[],)"
           R"("colorStack":[],"background":null,"audioMix":{"tracks":[],"targetLufs":null,"truePeakDb":-1},)"
           R"("timeMap":{"entries":[]},"durationUs":400000})";
}

class Engine {
public:
    explicit Engine(const fs::path& cache) : process_({"--cache-dir", cache.string()}) {}

    JSONValue result(const std::string& method, const std::string& params) {
        int64_t id = ++next_;
        process_.sendLine(EngineProcess::request(id, method, params));
        auto r = process_.responseFor(id, nullptr, std::chrono::seconds(180));
        const JSONValue* value = r ? r->member("result") : nullptr;
        EXPECT_TRUE(value) << method << ": " << (r ? r->canonical() : "no answer");
        return value ? *value : JSONValue();
    }
    // The thumbnail's picture and the size it answered.
    Pixels thumbnail(const fs::path& source, const fs::path& out, int64_t& width, int64_t& height) {
        JSONValue r = result("asset.thumbnail", R"({"source":)" + sourceJSON(source) +
                                                    R"(,"atUs":0,"maxLongEdge":64,"outPath":")" + out.string() + "\"}");
        width = sizeOf(r, "width");
        height = sizeOf(r, "height");
        return pixelsOf(out);
    }
    Pixels frame(const fs::path& source, int64_t width, int64_t height, const fs::path& out) {
        result("render.frame", R"({"plan":)" + fullFramePlan(width, height) + R"(,"sources":{"a":)" +
                                   sourceJSON(source) + R"(},"variant":"after","atUs":0,"maxLongEdge":64,"outPath":")" +
                                   out.string() + "\"}");
        return pixelsOf(out);
    }

private:
    static int64_t sizeOf(const JSONValue& result, const char* key) {
        const JSONValue* v = result.member(key);
        return v && v->intValue() ? *v->intValue() : -1;
    }
    EngineProcess process_;
    int64_t next_ = 0;
};

} // namespace

TEST(ThumbnailPicture, MirroredAndTurnedSourcesShowAsRendered) {
    auto folder = fs::path(korvel::testing::freshFolder("thumbnail-matrices"));
    // Red, green, blue and white quadrants, stored 64 × 32.
    const fs::path stored = folder / "quadrants.mp4";
    make(ff + "-f lavfi -i 'color=c=0xff0000:s=64x32:r=25:d=0.4,"
              "drawbox=x=32:y=0:w=32:h=16:color=0x00ff00:t=fill,drawbox=x=0:y=16:w=32:h=16:color=0x0000ff:t=fill,"
              "drawbox=x=32:y=16:w=32:h=16:color=0xffffff:t=fill' -c:v libx264 -pix_fmt yuv444p -qp 0 "
              "-color_primaries bt709 -color_trc bt709 -colorspace bt709 '" + stored.string() + "'");
    struct Case {
        const char* what;
        int a, b, c, d;
        const char* shown; // quadrants as the viewer sees them
    };
    const std::vector<Case> cases{
        {"as stored", 1, 0, 0, 1, "RGBW"},
        {"mirrored left to right", -1, 0, 0, 1, "GRWB"},
        {"upside down", -1, 0, 0, -1, "WBGR"},
        {"mirrored top to bottom", 1, 0, 0, -1, "BWRG"},
        {"transposed", 0, 1, 1, 0, "RBGW"},
        {"turned right", 0, 1, -1, 0, "BRWG"},
        {"transversed", 0, -1, -1, 0, "WGBR"},
        {"turned left", 0, -1, 1, 0, "GWRB"},
    };
    Engine engine(folder / "cache");
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path movie = folder / ("matrix" + std::to_string(++n) + ".mp4");
        withMatrix(stored, movie, c.a, c.b, c.c, c.d, 64, 32);
        const bool swapped = c.a == 0;
        int64_t width = 0, height = 0;
        Pixels thumbnail = engine.thumbnail(movie, folder / ("thumbnail" + std::to_string(n) + ".png"), width, height);
        EXPECT_EQ(width, swapped ? 32 : 64);
        EXPECT_EQ(height, swapped ? 64 : 32);
        EXPECT_EQ(thumbnail.width, width);
        EXPECT_EQ(thumbnail.quadrants(), c.shown);
        Pixels rendered = engine.frame(movie, width, height, folder / ("frame" + std::to_string(n) + ".png"));
        EXPECT_EQ(rendered.quadrants(), c.shown);
    }
}

TEST(ThumbnailPicture, HDRSourcesAreToneMappedAsRenderFrameShowsThem) {
    auto folder = fs::path(korvel::testing::freshFolder("thumbnail-hdr"));
    struct Case {
        const char* what;
        const char* transfer; // ffmpeg's and x265's name
    };
    const std::vector<Case> cases{{"HLG", "arib-std-b67"}, {"PQ", "smpte2084"}};
    Engine engine(folder / "cache");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path movie = folder / (std::string(c.what) + ".mp4");
        make(ff + "-f lavfi -i color=c=0x806040:s=64x36:r=25:d=0.4 -c:v libx265 -pix_fmt yuv420p10le -tag:v hvc1 "
                  "-x265-params log-level=none:colorprim=bt2020:colormatrix=bt2020nc:transfer=" + c.transfer +
             " -color_primaries bt2020 -colorspace bt2020nc -color_trc " + c.transfer + " '" + movie.string() + "'");
        int64_t width = 0, height = 0;
        Pixels thumbnail = engine.thumbnail(movie, folder / (std::string(c.what) + "-thumbnail.png"), width, height);
        EXPECT_EQ(width, 64);
        EXPECT_EQ(height, 36);
        Pixels rendered = engine.frame(movie, width, height, folder / (std::string(c.what) + "-frame.png"));
        // The coded values taken as if they were BT.709's.
        Pixels naive = pixelsOf(movie, "scale=in_color_matrix=bt2020:in_range=tv:out_range=pc,format=rgb24");
        auto shown = thumbnail.mean(), drawn = rendered.mean(), plain = naive.mean();
        double apart = 0;
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(shown[k], drawn[k], 3.0) << "channel " << k;
            apart = std::max(apart, std::abs(shown[k] - plain[k]));
        }
        EXPECT_GT(apart, 12.0) << "the naive read is " << plain[0] << " " << plain[1] << " " << plain[2];
    }
}
