// The picture of a frame drawn fast: buffers reused between frames, vector
// kernels that draw what the scalar code draws, and 8-bit codes as the
// curve gives them.
#include "Adapters/Render/Drawing/FrameMemory.hpp"
#include "Adapters/Render/Drawing/GraphScene.hpp"
#include "Adapters/Render/Outputs/FragmentWriter.hpp"
#include "Adapters/Render/Outputs/VideoEncoder.hpp"
#include "Adapters/Render/PreviewService.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"
#include "PictureFixtures.hpp"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
}

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <limits>
#include <random>

using namespace korvel;
using namespace korvel::pictures;

namespace {
// A picture with detail at every scale and values past white.
RGBAImage textured(int w, int h) {
    RGBAImage image = RGBAImage::blank(0, 0, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float* p = image.row(y) + x * 4;
            p[0] = 1.3f * (x + 0.5f) / w;
            p[1] = 0.5f + 0.5f * std::sin(x * 0.37f + y * 0.11f);
            p[2] = ((x / 7 + y / 5) % 2) ? 0.9f : 0.05f;
            p[3] = 1;
        }
    return image;
}

// A look with grain over it, as an editor grades a clip.
std::vector<ColorStep> graded(const char* look, double strength, double grain, int64_t seed) {
    ColorStep l, g;
    l.kind = ColorStep::Look{look, strength};
    g.kind = ColorStep::Grain{grain, seed};
    return {l, g};
}

TextItem boldCaption(const char* text, double sizePct) {
    TextItem caption = fixtures::caption(text, 0, 2000000);
    caption.style.weight = 700;
    caption.style.sizePct = sizePct;
    caption.style.lineHeight = 1.2;
    return caption;
}
} // namespace

TEST(FramePicture, LookGrainLogoAndCaptionDrawAsTheScalarCodeDraws) {
    const int w = 480, h = 270;
    RenderPlan p = plan(w, h);
    p.segments = {fixtures::segment("clip", 0, 0, 2000000)};
    VideoOverlay logo = fixtures::overlay("logo", 0, 2000000, 0, 2000000);
    logo.role = VideoOverlayRole::logo;
    logo.rect = {0.7, 0.05, 0.25, 0.2};
    p.videoOverlays = {logo};
    p.colorStack = graded("warm_cinema", 1, 0.3, 7);
    p.textItems = {boldCaption("The picture of a frame", 8)};
    RGBAImage logoPicture = solid(150, 80, 0.9f, 0.4f, 0.1f, 0.6f);
    GraphScene scene(stillInputs(p, {{"clip", textured(1013, 571)}, {"logo", logoPicture}}), {});
    scene.preflight();

    Kernels::useReferences(true);
    RGBAImage reference = scene.picture(4, range(4, 0, false, {0}), noFrames);
    Kernels::useReferences(false);
    RGBAImage fast = scene.picture(4, range(4, 0, false, {0}), noFrames);

    ASSERT_EQ(fast.pixels.size(), reference.pixels.size());
    double squares = 0;
    for (size_t i = 0; i < fast.pixels.size(); ++i) {
        double d = std::clamp(fast.pixels[i], 0.0f, 1.0f) - std::clamp(reference.pixels[i], 0.0f, 1.0f);
        squares += d * d;
    }
    double psnr = 10 * std::log10(1 / std::max(squares / static_cast<double>(fast.pixels.size()), 1e-30));
    EXPECT_GE(psnr, 50) << "decibels";
    Picture a = gammaPicture(fast, {w, h}), b = gammaPicture(reference, {w, h});
    int worst = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) worst = std::max(worst, std::abs(a.pixels[i] - b.pixels[i]));
    EXPECT_LE(worst, 1) << "code values apart";
    // The caption, the logo and the grain all made it into the picture.
    EXPECT_NE(a.pixels, gammaPicture(RGBAImage::transparent(0, 0, w, h), {w, h}).pixels);
}

// Drawn band by band (the vector road) and pass by pass with the scalar
// references: a clip placed 1:1, shrunk and enlarged, graded or not, under
// logos with corners, opacity and each other, and a caption.
TEST(FramePicture, BandsDrawWhatThePassesDraw) {
    struct Case {
        const char* what;
        int clipWidth, clipHeight;
        bool graded;
        double cornerPct, opacity;
        bool secondLogo, caption;
    };
    const int w = 320, h = 180;
    for (Case c : {Case{"a clip on its own size", 320, 180, true, 0, 1, false, true},
                   Case{"a clip shrunk", 1013, 571, true, 2, 0.7, true, true},
                   Case{"a clip enlarged, ungraded", 211, 119, false, 0, 1, true, false},
                   Case{"a clip shrunk, logos only", 777, 431, false, 5, 0.4, false, false}}) {
        RenderPlan p = plan(w, h);
        p.segments = {fixtures::segment("clip", 0, 0, 2000000)};
        VideoOverlay logo = fixtures::overlay("logo", 0, 2000000, 0, 2000000);
        logo.role = VideoOverlayRole::logo;
        logo.rect = {0.6, 0.05, 0.3, 0.3};
        logo.opacity = c.opacity;
        if (c.cornerPct > 0) logo.cornerRadiusPct = c.cornerPct;
        p.videoOverlays = {logo};
        if (c.secondLogo) {
            VideoOverlay second = logo;
            second.id = "second";
            second.rect = {0.5, 0.2, 0.3, 0.4};
            p.videoOverlays.push_back(second);
        }
        if (c.graded) p.colorStack = graded("cool_film", 0.8, 0.5, 3);
        if (c.caption) p.textItems = {boldCaption("caption", 10)};
        GraphScene scene(stillInputs(p, {{"clip", textured(c.clipWidth, c.clipHeight)},
                                         {"logo", solid(90, 60, 0.2f, 0.9f, 0.5f, 0.8f)}}),
                         {});
        scene.preflight();
        std::vector<int64_t> logos{0};
        if (c.secondLogo) logos.push_back(1);
        Kernels::useReferences(true);
        RGBAImage passes = scene.picture(3, range(3, 0, false, logos), noFrames);
        Kernels::useReferences(false);
        RGBAImage bands = scene.picture(3, range(3, 0, false, logos), noFrames);
        ASSERT_EQ(bands.width, passes.width) << c.what;
        ASSERT_EQ(bands.height, passes.height) << c.what;
        Picture a = gammaPicture(bands, {w, h}), b = gammaPicture(passes, {w, h});
        int worst = 0;
        for (size_t i = 0; i < a.pixels.size(); ++i) worst = std::max(worst, std::abs(a.pixels[i] - b.pixels[i]));
        EXPECT_LE(worst, 1) << c.what << ": code values apart";
    }
}

// A picture left in the encoder's gamma gives the encoder the codes its
// light gives: drawn in bands or in passes, graded or not, over logos and
// text, opaque or not.
TEST(FramePicture, PicturesLeftInGammaEncodeAsTheirLight) {
    struct Case {
        const char* what;
        bool graded, logo, caption;
        float clipAlpha;
        double scale; // below 1 the clip shows past its edges, drawn in passes
    };
    const int w = 320, h = 180;
    VideoEncoding e = FragmentWriter::encoding({w, h}, FrameGrid(FrameRate{30, 1}));
    for (Case c : {Case{"graded under a logo and a caption", true, true, true, 1, 1},
                   Case{"graded alone", true, false, false, 1, 1},
                   Case{"ungraded under a logo", false, true, false, 1, 1},
                   Case{"a see-through clip, graded", true, true, false, 0.6f, 1},
                   Case{"graded, past the clip's edges", true, true, true, 1, 0.7}}) {
        RenderPlan p = plan(w, h);
        p.segments = {fixtures::segment("clip", 0, 0, 2000000)};
        p.segments[0].transform.keyframes = {fixtures::keyframe(0, 0.5, 0.5, c.scale)};
        if (c.logo) {
            VideoOverlay logo = fixtures::overlay("logo", 0, 2000000, 0, 2000000);
            logo.role = VideoOverlayRole::logo;
            logo.rect = {0.6, 0.05, 0.3, 0.3};
            logo.opacity = 0.8;
            p.videoOverlays = {logo};
        }
        if (c.graded) p.colorStack = graded("warm_cinema", 1, 0.4, 7);
        if (c.caption) p.textItems = {boldCaption("caption", 10)};
        RGBAImage clip = textured(1013, 571);
        for (size_t i = 0; i < clip.pixels.size(); ++i) clip.pixels[i] *= c.clipAlpha;
        GraphScene scene(stillInputs(p, {{"clip", clip}, {"logo", solid(90, 60, 0.2f, 0.9f, 0.5f, 0.8f)}}), {});
        scene.preflight();
        std::vector<int64_t> logos;
        if (c.logo) logos.push_back(0);
        EncoderPicture light = EncoderPicture::from(scene.picture(3, range(3, 0, false, logos), noFrames), e);
        EncoderPicture encoded = EncoderPicture::from(
            scene.picture(3, range(3, 0, false, logos), noFrames, PixelDomain::gammaStraight), e, PixelDomain::gammaStraight);
        int worst = 0;
        size_t same = 0, codes = 0;
        for (int plane = 0; plane < 3; ++plane) {
            const AVFrame& a = light.frame();
            const AVFrame& b = encoded.frame();
            const int pw = plane == 0 ? w : w / 2, ph = plane == 0 ? h : h / 2;
            for (int y = 0; y < ph; ++y)
                for (int x = 0; x < pw; ++x) {
                    int d = std::abs(a.data[plane][y * a.linesize[plane] + x] - b.data[plane][y * b.linesize[plane] + x]);
                    worst = std::max(worst, d);
                    same += d == 0;
                    ++codes;
                }
        }
        EXPECT_LE(worst, 1) << c.what << ": code values apart";
        EXPECT_GE(static_cast<double>(same), 0.999 * static_cast<double>(codes)) << c.what << ": codes the same";
    }
    // HLG pictures are encoded from their light only.
    VideoEncoding hdr = e;
    hdr.dynamicRange = DynamicRange::keepHdr;
    EXPECT_THROW(EncoderPicture::from(RGBAImage::transparent(0, 0, w, h), hdr, PixelDomain::gammaStraight), std::logic_error);
}

TEST(FramePicture, GammaCodesAreTheCurvesOwn) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> values(-0.1f, 1.1f);
    for (int i = 0; i < 200000; ++i) {
        float v = values(rng);
        ASSERT_EQ(gammaCode(v), exactGammaCode(v)) << v;
    }
    // Both sides of every step between codes.
    for (float v = 0; v <= 1; v = std::nextafter(v, 2.0f) + 1e-4f) {
        for (float u : {v, std::nextafter(v, -1.0f), std::nextafter(v, 2.0f)}) ASSERT_EQ(gammaCode(u), exactGammaCode(u)) << u;
    }
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(gammaCode(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(gammaCode(inf), 255);
    EXPECT_EQ(gammaCode(-inf), 0);
    EXPECT_EQ(gammaCode(1), 255);
    EXPECT_EQ(gammaCode(0), 0);
}

TEST(FramePicture, FrameBuffersAreReusedWhileARenderDraws) {
    FrameMemory::freeIdle(std::chrono::steady_clock::now() + std::chrono::hours(1));
    const size_t before = FrameMemory::keptBuffers();
    {
        FrameMemory::Use render;
        const float* memory = nullptr;
        {
            RGBAImage frame = RGBAImage::blank(0, 0, 1920, 1080);
            memory = frame.pixels.data();
            RGBAImage small = RGBAImage::blank(0, 0, 16, 16);
        }
        EXPECT_EQ(FrameMemory::keptBuffers(), before + 1) << "the frame is kept, the small picture is not";
        RGBAImage next = RGBAImage::transparent(0, 0, 1920, 1080);
        EXPECT_EQ(next.pixels.data(), memory) << "the next frame takes the same memory";
        for (float v : next.pixels) ASSERT_EQ(v, 0.0f) << "and a transparent one is cleared";
        RGBAImage copy = next;
        EXPECT_EQ(copy.pixels, next.pixels);
    }
    EXPECT_EQ(FrameMemory::keptBuffers(), before + 2) << "both frames kept for the next render a while";
    FrameMemory::freeIdle(std::chrono::steady_clock::now());
    EXPECT_EQ(FrameMemory::keptBuffers(), before + 2) << "not the moment the render ends";
    {
        FrameMemory::Use next;
        RGBAImage frame = RGBAImage::blank(0, 0, 1920, 1080);
        EXPECT_EQ(FrameMemory::keptBuffers(), before + 1) << "the next render takes one";
    }
    FrameMemory::freeIdle(std::chrono::steady_clock::now() + std::chrono::seconds(31));
    EXPECT_EQ(FrameMemory::keptBuffers(), 0u) << "freed when no render has wanted it for half a minute";
}

// A frame buffer mapped anywhere has up to 2 MiB at each end in small pages,
// each faulted in on its own; mapped on a 2 MiB boundary a new frame is a
// handful of faults.
TEST(FramePicture, NewFrameBuffersStartOnAHugePage) {
    FrameMemory::freeIdle(std::chrono::steady_clock::now() + std::chrono::hours(1));
    FrameMemory::Use render;
    const size_t mapped = FrameMemory::mappedBytes();
    const uintptr_t huge = uintptr_t{2} << 20, page = 4096;
    struct Case {
        int width, height;
    };
    std::vector<RGBAImage> frames; // all alive, so none is taken from the pool
    for (Case c : {Case{1920, 1080}, Case{1620, 912}, Case{1280, 720}, Case{724, 724}, Case{3840, 2160}}) {
        frames.push_back(RGBAImage::blank(0, 0, c.width, c.height));
        const auto at = reinterpret_cast<uintptr_t>(frames.back().pixels.data());
        EXPECT_EQ(at / page * page % huge, 0u) << c.width << "x" << c.height;
    }
    size_t bytes = 0;
    for (const auto& f : frames) bytes += f.pixels.capacity() * sizeof(float);
    EXPECT_LE(FrameMemory::mappedBytes() - mapped, bytes + frames.size() * page) << "no more than the frames take";
}

// However many pictures a burst of renders drops, the pool keeps no more
// than its bound, the newest first, and what no frame took for a while goes
// back to the system: the memory mapped for frames returns to where it was.
TEST(FramePicture, FrameBuffersKeepAByteBoundAndGiveIdleOnesBack) {
    using Clock = std::chrono::steady_clock;
    FrameMemory::freeIdle(Clock::now() + std::chrono::hours(1));
    const size_t baseline = FrameMemory::mappedBytes();
    FrameMemory::Use render;
    const size_t frameBytes = size_t{1920} * 1080 * 4 * sizeof(float);
    const size_t burst = FrameMemory::mostBytes / frameBytes + 8;
    const float* newest = nullptr;
    {
        std::vector<RGBAImage> inFlight;
        for (size_t i = 0; i < burst; ++i) inFlight.push_back(RGBAImage::blank(0, 0, 1920, 1080));
        EXPECT_GE(FrameMemory::mappedBytes(), baseline + burst * frameBytes);
        newest = inFlight.back().pixels.data();
    }
    EXPECT_LE(FrameMemory::keptBytes(), FrameMemory::mostBytes);
    EXPECT_EQ(FrameMemory::keptBuffers(), FrameMemory::mostBytes / frameBytes);
    EXPECT_LE(FrameMemory::mappedBytes(), baseline + FrameMemory::mostBytes + burst * 64 * 1024)
        << "what the pool does not keep is unmapped at once";
    const float* taken = nullptr;
    {
        RGBAImage next = RGBAImage::blank(0, 0, 1920, 1080);
        taken = next.pixels.data();
        EXPECT_EQ(FrameMemory::keptBuffers(), FrameMemory::mostBytes / frameBytes - 1);
    }
    EXPECT_NE(taken, nullptr);
    (void)newest;
    FrameMemory::freeIdle(Clock::now() + FrameMemory::grace / 2);
    EXPECT_EQ(FrameMemory::keptBuffers(), FrameMemory::mostBytes / frameBytes) << "kept a while";
    FrameMemory::freeIdle(Clock::now() + FrameMemory::grace + std::chrono::seconds(1));
    EXPECT_EQ(FrameMemory::keptBuffers(), 0u);
    EXPECT_EQ(FrameMemory::keptBytes(), 0u);
    EXPECT_EQ(FrameMemory::mappedBytes(), baseline) << "every idle buffer is unmapped";
}

// The engine leaves the heap's policy to its host: after a render, a large
// block the host frees goes back to the system as it would without the
// engine, and no frame buffer lives in the heap.
TEST(FramePicture, ARenderLeavesTheHeapsPolicyAlone) {
    FrameMemory::freeIdle(std::chrono::steady_clock::now() + std::chrono::hours(1));
    const struct mallinfo2 before = mallinfo2();
    {
        FrameMemory::Use render;
        std::vector<RGBAImage> frames;
        for (int i = 0; i < 4; ++i) frames.push_back(RGBAImage::transparent(0, 0, 1920, 1080));
        const struct mallinfo2 drawing = mallinfo2();
        EXPECT_LT(drawing.uordblks + drawing.hblkhd, before.uordblks + before.hblkhd + (size_t{4} << 20))
            << "frame buffers are the engine's own mappings";
    }
    FrameMemory::freeIdle(std::chrono::steady_clock::now() + std::chrono::hours(1));
    // Larger than any block the heap serves itself by default, smaller than
    // the bound a host's own setting would raise it to.
    constexpr size_t large = size_t{20} << 20;
    void* block = std::malloc(large);
    ASSERT_NE(block, nullptr);
    std::memset(block, 1, large);
    std::free(block);
    const struct mallinfo2 after = mallinfo2();
    EXPECT_LT(after.arena + after.hblkhd, before.arena + before.hblkhd + (size_t{4} << 20))
        << "the freed block went back to the system";
    EXPECT_LT(after.fordblks, before.fordblks + (size_t{4} << 20));
}
