#include "Adapters/Concurrency/RenderGates.hpp"
#include "Adapters/Render/Drawing/CompositionBuilder.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Render/Sources/FrameConversion.hpp"
#include "Adapters/Render/Outputs/FragmentWriter.hpp"
#include "Adapters/Render/Drawing/FrameMemory.hpp"
#include "Adapters/Render/Drawing/GraphRunner.hpp"
#include "Adapters/Render/Sources/OpenReaders.hpp"
#include "Adapters/Render/Sources/VideoFrameWalk.hpp"
#include "Adapters/Render/Sources/VideoFrames.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "MediaFixtures.hpp"
#include "tests/core/plan/PlanFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>
#include <unistd.h>
#include <stdexcept>
#include <vector>

using namespace korvel;
namespace fx = korvel::MediaFixtures;

namespace {

using Planes = std::vector<std::vector<uint8_t>>;

// The three planes of an 8-bit 4:2:0 picture, rows packed.
Planes planesOf(const AVFrame& f) {
    Planes out(3);
    for (int p = 0; p < 3; ++p) {
        int w = p == 0 ? f.width : (f.width + 1) / 2, h = p == 0 ? f.height : (f.height + 1) / 2;
        for (int y = 0; y < h; ++y) out[p].insert(out[p].end(), f.data[p] + y * f.linesize[p], f.data[p] + y * f.linesize[p] + w);
    }
    return out;
}

int worstDifference(const Planes& a, const Planes& b) {
    int worst = 0;
    for (size_t p = 0; p < a.size(); ++p) {
        if (a[p].size() != b[p].size()) return 256;
        for (size_t i = 0; i < a[p].size(); ++i) worst = std::max(worst, std::abs(a[p][i] - b[p][i]));
    }
    return worst;
}

struct Collected : FrameSink {
    std::vector<Planes> frames;
    void take(const EncoderPicture& picture, int64_t index) override {
        if (index != static_cast<int64_t>(frames.size())) throw std::runtime_error("out of order");
        frames.push_back(planesOf(picture.frame()));
    }
};

BuiltComposition composition(const std::filesystem::path& url, int64_t frames, DynamicRange range = DynamicRange::sdr) {
    VideoSource video = VideoOpener::open(url);
    RenderPlan plan = fixtures::plan(frames * 1'000'000 / 30);
    plan.canvas.width = 320;
    plan.canvas.height = 240;
    plan.segments = {fixtures::segment("v", 0, 0, frames * 1'000'000 / 30)};
    RenderInputs inputs;
    inputs.plan = plan;
    inputs.size = {320, 240};
    inputs.videos.emplace("v", video);
    inputs.timeline = ResolvedTimeline(plan, {{"v", video.table}}, {});
    inputs.recipe = ColorRecipe{range};
    return CompositionBuilder{inputs}.build(FrameRange{0, frames});
}

struct Counted : FrameSink {
    int64_t frames = 0;
    void take(const EncoderPicture&, int64_t) override { ++frames; }
};

} // namespace

// The frames a window holds in flight fit the frame pool, so the window
// after it finds every picture buffer it needs kept, faulted in, and maps
// none anew.
TEST(RenderPipeline, LaterWindowsFindTheirFrameBuffersKept) {
    const auto source = fx::folder() / "window-1080.mp4";
    if (!std::filesystem::exists(source)) {
        // Made aside and renamed: test processes run side by side.
        const auto made = fx::folder() / (".window-" + std::to_string(getpid()) + ".mp4");
        ASSERT_TRUE(fx::runCommand(fx::detail::ff + "-f lavfi -i testsrc2=size=1920x1080:rate=30 -t 1 -c:v libx264 "
                                   "-preset ultrafast -pix_fmt yuv420p '" + made.string() + "'"));
        std::filesystem::rename(made, source);
    }
    const int64_t count = 30;
    VideoSource video = VideoOpener::open(source);
    RenderPlan plan = fixtures::plan(1'000'000);
    plan.canvas.width = 1620;
    plan.canvas.height = 912;
    plan.segments = {fixtures::segment("v", 0, 0, 1'000'000)};
    RenderInputs inputs;
    inputs.plan = plan;
    inputs.size = {1620, 912};
    inputs.videos.emplace("v", video);
    inputs.timeline = ResolvedTimeline(plan, {{"v", video.table}}, {});
    StopFlag stop;
    auto window = [&] {
        BuiltComposition built = CompositionBuilder{inputs}.build(FrameRange{0, count});
        VideoEncoding e = FragmentWriter::encoding(inputs.size, built.grid());
        Counted sink;
        EXPECT_EQ(GraphRunner::run(built, {0, count}, e, sink, stop, {}), count);
        EXPECT_EQ(sink.frames, count);
    };
    // How many frames draw at once follows the scheduler: two windows reach
    // it, and a later one may still draw one frame more alongside (its
    // source, its canvas and its encoder planes).
    window();
    window();
    const size_t maps = FrameMemory::mapsSoFar(), oneFrame = 3;
    for (int i = 0; i < 2; ++i) {
        window();
        EXPECT_LE(FrameMemory::keptBytes(), FrameMemory::mostBytes);
    }
    EXPECT_LE(FrameMemory::mapsSoFar() - maps, oneFrame) << "later windows map buffers of their own";
}

// Frames in flight are decoded in order and converted on many threads; each
// must still come out as the frame drawn on its own, in its place.
TEST(RenderPipeline, FramesInFlightMatchFramesDrawnAlone) {
    const int64_t count = 36; // key frames every 10, B-frames between
    BuiltComposition built = composition(fx::path("copy.mp4"), count);
    VideoEncoding e = FragmentWriter::encoding({320, 240}, built.grid());
    StopFlag stop;
    Collected sink;
    ASSERT_EQ(GraphRunner::run(built, {0, count}, e, sink, stop, {}), count);
    ASSERT_EQ(static_cast<int64_t>(sink.frames.size()), count);
    for (int64_t i = 0; i < count; ++i) {
        Planes alone = planesOf(EncoderPicture::from(GraphRunner::draw(built, i, stop), e).frame());
        EXPECT_LE(worstDifference(sink.frames[static_cast<size_t>(i)], alone), 1) << "frame " << i;
    }
    // The source moves, so a frame put in another's place shows.
    EXPECT_GT(worstDifference(sink.frames[0], sink.frames[1]), 1);
}

// Only a frame that is its source's picture as it is goes to the encoder
// straight from the decoded planes: anything drawn, graded, moved or scaled
// goes through the working space.
TEST(RenderPipeline, OnlyAFrameShownAsItIsSkipsTheWorkingSpace) {
    struct Case {
        const char* name;
        std::function<void(RenderPlan&)> change;
        bool asIs;
    };
    const Case cases[] = {
        {"as it is", [](RenderPlan&) {}, true},
        {"zoomed", [](RenderPlan& p) { p.segments[0].transform.keyframes = {fixtures::keyframe(0, 0.5, 0.5, 1.25)}; }, false},
        {"graded", [](RenderPlan& p) {
             ColorStep look = fixtures::look(std::nullopt, std::nullopt);
             look.kind = ColorStep::Look{"warm_cinema", 1};
             p.colorStack = {look};
         }, false},
        {"with a logo", [](RenderPlan& p) {
             VideoOverlay logo = fixtures::overlay("logo", 0, 1'000'000, 0, 1'000'000);
             logo.role = VideoOverlayRole::logo;
             p.videoOverlays = {logo};
         }, false},
        {"with text", [](RenderPlan& p) {
             TextItem hello = fixtures::caption("hello", 0, 1'000'000);
             hello.style.weight = 700;
             hello.style.sizePct = 20;
             hello.style.lineHeight = 1.2;
             p.textItems = {hello};
         }, false},
        {"on a larger canvas", [](RenderPlan& p) { p.canvas.width = 640, p.canvas.height = 480; }, false},
    };
    VideoSource video = VideoOpener::open(fx::path("copy.mp4"));
    for (const Case& k : cases) {
        RenderPlan plan = fixtures::plan(1'000'000);
        plan.canvas.width = 320;
        plan.canvas.height = 240;
        plan.segments = {fixtures::segment("v", 0, 0, 1'000'000)};
        k.change(plan);
        RenderInputs inputs;
        inputs.plan = plan;
        inputs.size = {plan.canvas.width, plan.canvas.height};
        inputs.videos.emplace("v", video);
        inputs.stills["logo"] = std::make_shared<const RGBAImage>(RGBAImage::transparent(0, 0, 16, 16));
        inputs.timeline = ResolvedTimeline(plan, {{"v", video.table}}, {"logo"});
        BuiltComposition built = CompositionBuilder{inputs}.build(FrameRange{0, 30});
        for (int64_t frame : {0, 17}) {
            const GraphInstruction* instruction = built.composition.instruction(frame);
            ASSERT_TRUE(instruction) << k.name;
            auto track = built.scene->shownAsIs(frame, instruction->range);
            EXPECT_EQ(track.has_value(), k.asIs) << k.name << ", frame " << frame;
            const auto& needed = instruction->requiredSourceTrackIDs;
            if (track) {
                EXPECT_NE(std::find(needed.begin(), needed.end(), *track), needed.end()) << k.name;
            }
        }
    }
}

// Conversions are kept per geometry and thread: going back to a size met
// before, even after the kept ones were pushed out, gives the same values.
TEST(RenderPipeline, ConversionsOfManySizesKeepTheirValues) {
    auto make = [](int w, int h, int seed) {
        FFmpeg::Frame f = FFmpeg::frame();
        f->format = AV_PIX_FMT_YUV420P;
        f->width = w;
        f->height = h;
        f->colorspace = AVCOL_SPC_BT709;
        f->color_trc = AVCOL_TRC_BT709;
        f->color_primaries = AVCOL_PRI_BT709;
        if (av_frame_get_buffer(f.get(), 64) < 0) throw std::bad_alloc();
        for (int p = 0; p < 3; ++p) {
            int pw = p == 0 ? w : (w + 1) / 2, ph = p == 0 ? h : (h + 1) / 2;
            for (int y = 0; y < ph; ++y)
                for (int x = 0; x < pw; ++x) f->data[p][y * f->linesize[p] + x] = static_cast<uint8_t>(16 + (x * 7 + y * 13 + seed * 31 + p * 50) % 220);
        }
        return f;
    };
    struct Size {
        int w, h;
    };
    const std::vector<Size> sizes{{64, 48}, {320, 240}, {66, 34}, {48, 64}, {2, 2}, {130, 66}, {96, 54}, {64, 50}};
    std::vector<FFmpeg::Frame> frames;
    std::vector<RGBAImage> first;
    for (size_t i = 0; i < sizes.size(); ++i) {
        frames.push_back(make(sizes[i].w, sizes[i].h, static_cast<int>(i)));
        first.push_back(FrameConversion::converted(*frames.back(), std::nullopt, DynamicRange::sdr,
                                                   FrameConversion::FrameValues::picture));
    }
    for (int round = 0; round < 2; ++round) {
        for (size_t i = sizes.size(); i-- > 0;) {
            RGBAImage again = FrameConversion::converted(*frames[i], std::nullopt, DynamicRange::sdr,
                                                         FrameConversion::FrameValues::picture);
            ASSERT_EQ(again.width, sizes[i].w);
            ASSERT_EQ(again.height, sizes[i].h);
            EXPECT_EQ(again.pixels, first[i].pixels) << sizes[i].w << "x" << sizes[i].h;
        }
    }
}

// Pictures before the wanted one that nothing refers to are skipped while
// decoding; whatever the order of the requests, each frame is the one that
// decoding every sample gives.
TEST(RenderPipeline, SkippingUnreferencedPicturesLeavesEveryFrameAsDecoded) {
    auto url = fx::path("copy.mp4");
    VideoSource video = VideoOpener::open(url);
    std::map<int64_t, FrameFloats> every; // by presentation time
    VideoFrames::walk(url, *video.track, 0, [&](const AVFrame& f) {
        every[f.pts] = FrameConversion::converted(f, video.color, DynamicRange::sdr, FrameConversion::FrameValues::picture).pixels;
        return true;
    }, {});
    const auto& samples = video.track->samples;
    ASSERT_EQ(every.size(), samples.size());
    VideoFrames::Reader reader(url, video.track, video.color, DynamicRange::sdr, VideoFrames::FrameValues::picture);
    // Forward inside a stretch, past sync samples, back, and the last.
    for (size_t sample : {5u, 3u, 9u, 12u, 11u, 25u, 0u, 26u, 27u, 28u, 1u, 39u, static_cast<unsigned>(samples.size() - 1)}) {
        ASSERT_LT(sample, samples.size());
        auto image = reader.decoded(sample)->image();
        EXPECT_EQ(image->pixels, every.at(samples[sample].presentationTime())) << "sample " << sample;
    }
}

// Single frames borrow their readers: the same unchanged file read the same
// way gets the reader back, a changed file or a second caller a new one, and
// only a few are kept.
TEST(RenderPipeline, OpenReadersAreLentOneAtATimeAndKeyedByTheFile) {
    auto folder = fx::folder() / ("readers-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    auto url = folder / "clip.mp4";
    std::filesystem::copy_file(fx::path("copy.mp4"), url, std::filesystem::copy_options::overwrite_existing);
    VideoSource video = VideoOpener::open(url);
    OpenReaders readers(2, std::chrono::hours(1));
    const auto picture = VideoFrames::FrameValues::picture;
    const VideoFrames::Reader* first = nullptr;
    {
        auto lease = readers.take(video, DynamicRange::sdr, picture);
        first = lease.operator->();
        auto other = readers.take(video, DynamicRange::sdr, picture);
        EXPECT_NE(other.operator->(), first); // never shared at once
    }
    EXPECT_EQ(readers.size(), 2u);
    {
        auto again = readers.take(video, DynamicRange::sdr, picture);
        auto mask = readers.take(video, DynamicRange::sdr, VideoFrames::FrameValues::mask);
        EXPECT_EQ(again.operator->(), first); // the last given back comes first
        EXPECT_NE(mask.operator->(), again.operator->());
        mask.drop();
    }
    EXPECT_EQ(readers.size(), 2u);
    // The file is rewritten: its stamp changes, so nothing kept fits.
    std::filesystem::copy_file(fx::path("plain.mp4"), url, std::filesystem::copy_options::overwrite_existing);
    VideoSource changed = VideoOpener::open(url);
    {
        auto lease = readers.take(changed, DynamicRange::sdr, picture);
        EXPECT_EQ(readers.size(), 2u);
        EXPECT_EQ(lease->frame(0)->width, 320);
    }
    EXPECT_EQ(readers.size(), 2u); // bounded: the oldest was closed
    std::filesystem::remove_all(folder);
}

// Each frame thread of a kept decoder holds pictures, so the kept readers
// together run at most a budget of decoder threads; a reader that has not
// decoded yet holds none.
TEST(RenderPipeline, KeptReadersRunAtMostTheirBudgetOfDecoderThreads) {
    VideoSource video = VideoOpener::open(fx::path("copy.mp4")); // small: one thread a decoder
    const auto picture = VideoFrames::FrameValues::picture;
    struct Case {
        bool decode;
        size_t kept;
    };
    for (const Case& c : {Case{true, 2}, Case{false, 3}}) {
        OpenReaders readers(3, std::chrono::hours(1), 2);
        {
            std::vector<OpenReaders::Lease> leases;
            for (int i = 0; i < 3; ++i) leases.push_back(readers.take(video, DynamicRange::sdr, picture));
            for (auto& lease : leases) {
                if (!c.decode) continue;
                lease->frame(0);
                EXPECT_EQ(lease->decoderThreads(), 1);
            }
        }
        EXPECT_EQ(readers.size(), c.kept) << (c.decode ? "decoded" : "not decoded");
    }
}

// Each frame thread of a decoder holds pictures of its own: renders running
// together (either gate's slots) share the cores, a render alone keeps the
// library's own count.
TEST(RenderPipeline, DecodersOfRendersRunningTogetherShareTheCores) {
    VideoSource video = VideoOpener::open(fx::path("hd.mp4"));
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    auto threadsWith = [&](int renders, int frames) {
        std::vector<AsyncGate::Slot> slots;
        slots.reserve(static_cast<size_t>(renders + frames));
        for (int i = 0; i < renders; ++i) slots.emplace_back(RenderGates::renders());
        for (int i = 0; i < frames; ++i) slots.emplace_back(RenderGates::frames());
        VideoFrames::Reader reader(video.url, video.track, video.color, DynamicRange::sdr,
                                   VideoFrames::FrameValues::picture);
        reader.frame(0);
        return reader.decoderThreads();
    };
    const int alone = threadsWith(1, 0);
    EXPECT_EQ(threadsWith(0, 1), alone);
    EXPECT_EQ(alone, cores > 1 ? std::min(cores + 1, 16) : 1); // libavcodec's own choice
    struct Case {
        int renders, frames, expected;
    };
    for (const Case& c : {Case{2, 0, std::max(2, cores / 2)}, Case{4, 0, std::max(2, cores / 4)},
                          Case{2, 2, std::max(2, cores / 4)}, Case{4, 4, 2}}) {
        EXPECT_EQ(threadsWith(c.renders, c.frames), c.expected) << c.renders << " renders, " << c.frames << " frames";
    }
}

// A reader going back starts its running decoder over, threads and picture
// buffers kept, while its share of the cores still holds; once renders
// started meanwhile, a decoder with the new share takes its place.
TEST(RenderPipeline, DecoderGoingBackStartsOverWhileItsThreadsFit) {
    VideoSource video = VideoOpener::open(fx::path("hd.mp4"));
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    VideoFrames::Reader reader(video.url, video.track, video.color, DynamicRange::sdr, VideoFrames::FrameValues::picture);
    auto first = reader.frame(4)->pixels;
    const int alone = reader.decoderThreads();
    const uint64_t opened = VideoDecoder::openedCount();
    reader.frame(1);
    EXPECT_EQ(reader.frame(4)->pixels, first);
    EXPECT_EQ(VideoDecoder::openedCount(), opened) << "the decoder was opened again to go back";
    EXPECT_EQ(reader.decoderThreads(), alone);
    if (cores < 4) return; // two renders' share is the same as one's
    std::vector<AsyncGate::Slot> slots;
    slots.emplace_back(RenderGates::renders());
    slots.emplace_back(RenderGates::renders());
    reader.frame(1);
    EXPECT_EQ(VideoDecoder::openedCount(), opened + 1);
    EXPECT_EQ(reader.decoderThreads(), std::max(2, cores / 2));
    EXPECT_EQ(reader.frame(4)->pixels, first);
}

// A window's readers go back to the cache of open ones when it ends, so the
// next window of the same source starts with their decoders; while a window
// runs, its reader is lent to it alone.
TEST(RenderPipeline, WindowsLendTheirReadersToTheNextWindow) {
    const int64_t count = 12;
    BuiltComposition built = composition(fx::path("copy.mp4"), count);
    VideoEncoding e = FragmentWriter::encoding({320, 240}, built.grid());
    StopFlag stop;
    struct Lent : FrameSink {
        std::vector<size_t> kept;
        void take(const EncoderPicture&, int64_t) override { kept.push_back(OpenReaders::shared().size()); }
    };
    const size_t before = OpenReaders::shared().size();
    Lent first;
    ASSERT_EQ(GraphRunner::run(built, {0, count}, e, first, stop, {}), count);
    EXPECT_EQ(OpenReaders::shared().size(), before + 1);
    const uint64_t opened = VideoDecoder::openedCount();
    Lent next;
    ASSERT_EQ(GraphRunner::run(built, {0, count}, e, next, stop, {}), count);
    EXPECT_EQ(VideoDecoder::openedCount(), opened) << "the next window opened a decoder of its own";
    EXPECT_EQ(next.kept, std::vector<size_t>(static_cast<size_t>(count), before));
    EXPECT_EQ(OpenReaders::shared().size(), before + 1);
}

// An HLG source kept as HDR goes to the encoder's 10-bit planes straight
// from its own, and still comes out as the frame drawn on its own.
TEST(RenderPipeline, HLGFramesInFlightMatchFramesDrawnAlone) {
    const auto source = fx::folder() / "hlg-bars.mp4";
    if (!std::filesystem::exists(source)) {
        const auto made = fx::folder() / (".hlg-bars-" + std::to_string(getpid()) + ".mp4");
        ASSERT_TRUE(fx::runCommand(fx::detail::ff + fx::detail::testsrc + "-t 1 -c:v libx265 -preset ultrafast "
                                   "-pix_fmt yuv420p10le -x265-params log-level=error -color_primaries bt2020 "
                                   "-color_trc arib-std-b67 -colorspace bt2020nc -tag:v hvc1 '" + made.string() + "'"));
        std::filesystem::rename(made, source);
    }
    const int64_t count = 12;
    BuiltComposition built = composition(source, count, DynamicRange::keepHdr);
    ASSERT_TRUE(built.composition.hdr);
    VideoEncoding e = FragmentWriter::encoding({320, 240}, built.grid());
    e.dynamicRange = DynamicRange::keepHdr;
    StopFlag stop;
    struct Kept : FrameSink {
        std::vector<FFmpeg::Frame> frames;
        void take(const EncoderPicture& picture, int64_t) override { frames.emplace_back(av_frame_clone(&picture.frame())); }
    } sink;
    ASSERT_EQ(GraphRunner::run(built, {0, count}, e, sink, stop, {}), count);
    ASSERT_EQ(static_cast<int64_t>(sink.frames.size()), count);
    for (int64_t i = 0; i < count; ++i) {
        EncoderPicture alone = EncoderPicture::from(GraphRunner::draw(built, i, stop), e);
        const AVFrame& a = *sink.frames[static_cast<size_t>(i)];
        const AVFrame& b = alone.frame();
        ASSERT_EQ(a.format, AV_PIX_FMT_YUV420P10LE);
        int worst = 0;
        for (int p = 0; p < 3; ++p) {
            const int w = p == 0 ? 320 : 160, h = p == 0 ? 240 : 120;
            for (int y = 0; y < h; ++y) {
                const auto* ra = reinterpret_cast<const uint16_t*>(a.data[p] + y * a.linesize[p]);
                const auto* rb = reinterpret_cast<const uint16_t*>(b.data[p] + y * b.linesize[p]);
                for (int x = 0; x < w; ++x) worst = std::max(worst, std::abs(ra[x] - rb[x]));
            }
        }
        EXPECT_LE(worst, 1) << "frame " << i;
    }
}

namespace {

// copy.mp4 on a canvas of its own with a look, grain and a logo.
RenderInputs gradedInputs(int64_t width = 320, int64_t height = 240) {
    VideoSource video = VideoOpener::open(fx::path("copy.mp4"));
    RenderPlan plan = fixtures::plan(1'000'000);
    plan.canvas.width = width;
    plan.canvas.height = height;
    plan.segments = {fixtures::segment("v", 0, 0, 1'000'000)};
    ColorStep look = fixtures::look(std::nullopt, std::nullopt);
    look.kind = ColorStep::Look{"warm_cinema", 1};
    ColorStep grain;
    grain.kind = ColorStep::Grain{0.4, 7};
    plan.colorStack = {look, grain};
    VideoOverlay logo = fixtures::overlay("logo", 0, 1'000'000, 0, 1'000'000);
    logo.role = VideoOverlayRole::logo;
    logo.rect = {0.7, 0.1, 0.2, 0.2};
    plan.videoOverlays = {logo};
    RenderInputs inputs;
    inputs.plan = plan;
    inputs.size = {width, height};
    inputs.videos.emplace("v", video);
    RGBAImage mark = RGBAImage::transparent(0, 0, 16, 16);
    for (size_t i = 0; i < mark.pixels.size(); i += 4) mark.pixels[i] = mark.pixels[i + 3] = 0.8f;
    inputs.stills["logo"] = std::make_shared<const RGBAImage>(std::move(mark));
    inputs.timeline = ResolvedTimeline(plan, {{"v", video.table}}, {"logo"});
    return inputs;
}

// One frame of the clip of gradedInputs(), decoded, and the ways a drawing
// may take it; `converted` counts its conversions to the working space.
struct ClipFrame {
    int32_t track = 0;
    std::shared_ptr<const VideoFrames::DecodedFrame> decoded;
    int converted = 0;

    ClipFrame(const RenderInputs& inputs, const BuiltComposition& built, int64_t frame)
        : track(built.scene->tracks().clips.at(0)) {
        const VideoSource& video = inputs.videos.at("v");
        auto reader = OpenReaders::shared().take(video, DynamicRange::sdr, VideoFrames::FrameValues::picture);
        auto time = built.composition.sourceTime(track, frame * built.composition.grid.ticksPerFrame);
        if (!time) throw std::runtime_error("the frame has no source time");
        auto entry = static_cast<size_t>(video.table.indexOnScreen(time->ticks));
        decoded = reader->decoded(video.track->sampleOfEntry.at(entry));
    }
    FrameSource images() {
        return [this](int32_t t) -> std::shared_ptr<const RGBAImage> {
            if (t != track) return nullptr;
            ++converted;
            return decoded->image();
        };
    }
    SignalSource signals() const {
        return [this](int32_t t, PlaneKernels::TargetCurve curve) -> std::optional<FrameConversion::SignalRows> {
            return t == track ? decoded->signal(curve) : std::nullopt;
        };
    }
    PictureRowSource rows() const {
        return [this](int32_t t) -> std::optional<FrameConversion::PictureRows> {
            return t == track ? decoded->pictureRows() : std::nullopt;
        };
    }
};

} // namespace

// A standard-range clip graded on its own canvas is taken in its own coding
// by the look: it is never brought into the working space, and its frame
// draws as the converted one does.
TEST(RenderPipeline, AGradedClipReadStraightIsNotConverted) {
    RenderInputs inputs = gradedInputs();
    BuiltComposition built = CompositionBuilder{inputs}.build(FrameRange{0, 30});
    const int64_t frame = 7;
    const GraphInstruction* instruction = built.composition.instruction(frame);
    ASSERT_TRUE(instruction);
    ClipFrame clip(inputs, built, frame);
    const FrameSource images = clip.images();
    const int& converted = clip.converted;
    // Left in light, or in the gamma the encoder takes.
    const PixelDomain outs[] = {PixelDomain::linearPremultiplied, PixelDomain::gammaStraight};
    std::vector<RGBAImage> straight;
    for (PixelDomain out : outs) straight.push_back(built.scene->picture(frame, instruction->range, images, out, clip.signals()));
    EXPECT_EQ(converted, 0);
    for (size_t k = 0; k < std::size(outs); ++k) {
        RGBAImage through = built.scene->picture(frame, instruction->range, images, outs[k]);
        EXPECT_EQ(converted, static_cast<int>(k) + 1);
        ASSERT_EQ(straight[k].pixels.size(), through.pixels.size());
        float worst = 0;
        for (size_t i = 0; i < through.pixels.size(); ++i)
            worst = std::max(worst, std::fabs(straight[k].pixels[i] - through.pixels[i]));
        EXPECT_LT(worst, 1e-4f) << "out in domain " << k;
    }
}

// A clip shrunk onto the canvas is read row by row as each band is drawn:
// it is never converted whole, and its frame draws as the converted one does.
TEST(RenderPipeline, AShrunkClipIsReadRowByRow) {
    for (auto [width, height] : {std::pair<int64_t, int64_t>{240, 180}, {160, 120}}) {
        RenderInputs inputs = gradedInputs(width, height);
        BuiltComposition built = CompositionBuilder{inputs}.build(FrameRange{0, 30});
        const int64_t frame = 7;
        const GraphInstruction* instruction = built.composition.instruction(frame);
        ASSERT_TRUE(instruction);
        ClipFrame clip(inputs, built, frame);
        const FrameSource images = clip.images();
        const PixelDomain outs[] = {PixelDomain::linearPremultiplied, PixelDomain::gammaStraight};
        std::vector<RGBAImage> read;
        for (PixelDomain out : outs)
            read.push_back(built.scene->picture(frame, instruction->range, images, out, clip.signals(), clip.rows()));
        EXPECT_EQ(clip.converted, 0) << width;
        for (size_t k = 0; k < std::size(outs); ++k) {
            RGBAImage through = built.scene->picture(frame, instruction->range, images, outs[k]);
            EXPECT_EQ(read[k].pixels, through.pixels) << width << " wide, out in domain " << k;
        }
    }
}

// The same frames in flight, graded, come out as the frames drawn on their own.
TEST(RenderPipeline, GradedFramesInFlightMatchFramesDrawnAlone) {
    const int64_t count = 20;
    RenderInputs inputs = gradedInputs();
    BuiltComposition built = CompositionBuilder{inputs}.build(FrameRange{0, count});
    VideoEncoding e = FragmentWriter::encoding({320, 240}, built.grid());
    StopFlag stop;
    Collected sink;
    ASSERT_EQ(GraphRunner::run(built, {0, count}, e, sink, stop, {}), count);
    for (int64_t i = 0; i < count; ++i) {
        Planes alone = planesOf(EncoderPicture::from(GraphRunner::draw(built, i, stop), e).frame());
        EXPECT_LE(worstDifference(sink.frames[static_cast<size_t>(i)], alone), 1) << "frame " << i;
    }
}
