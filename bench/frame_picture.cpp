// One frame recipe drawn 300 times from the same decoded 1080p frames: the
// source scaled into the canvas (Lanczos), the warm_cinema look at strength
// 1, grain 0.3 and a logo; ours through the frame layer graph, FFmpeg's
// through the equivalent libavfilter graph (scale=lanczos, lut3d with the
// same cube, blend=softlight with the same grain tile, overlay), both in
// this process. Extra lines give ours with a caption, and with a blurred
// backdrop and a matted background. Inputs are made at run time in the
// system's temporary folder.
#include "Adapters/Render/Sources/FrameConversion.hpp"
#include "Adapters/Render/Drawing/GraphScene.hpp"
#include "Adapters/Render/Sources/StillImages.hpp"
#include "Adapters/Render/Sources/StillPictures.hpp"
#include "Adapters/Render/Sources/VideoFrames.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "Core/Picture/Color/LookCube.hpp"
#include "Core/Picture/Steps/GrainStep.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}
#include <tbb/parallel_for.h>
#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace korvel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

int frameCount = 300;
constexpr int distinct = 30;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "frame_picture: %s\n", what.c_str());
    std::exit(1);
}

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) die("failed: " + command);
}

// The source's first frames, decoded once and kept.
std::vector<AVFrame*> decodedFrames(const fs::path& file) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) die("open " + file.string());
    avformat_find_stream_info(format, nullptr);
    int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodec* codec = avcodec_find_decoder(format->streams[stream]->codecpar->codec_id);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(context, format->streams[stream]->codecpar);
    avcodec_open2(context, codec, nullptr);
    std::vector<AVFrame*> frames;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(context, frame) == 0 && frames.size() < distinct) frames.push_back(av_frame_clone(frame));
    };
    while (frames.size() < distinct && av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == stream) avcodec_send_packet(context, packet);
        av_packet_unref(packet);
        drain();
    }
    avcodec_send_packet(context, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    avformat_close_input(&format);
    if (frames.size() < distinct) die("too few frames decoded");
    return frames;
}

struct Sizes {
    int width, height;
};

render::Rect logoRect(Sizes s) { return {0.78 * s.width, 0.05 * s.height, 0.18 * s.width, 0.12 * s.height}; }

// The scene of the recipe on a canvas.
struct Recipe {
    bool text = false;
    bool matte = false;
};

std::unique_ptr<GraphScene> scene(Sizes size, const VideoSource& video, const fs::path& logo, Recipe recipe) {
    RenderPlan plan;
    plan.version = 1;
    plan.canvas = {VideoFormat::horizontal, size.width, size.height, {30, 1}};
    plan.durationUs = 20000000;
    Segment segment;
    segment.assetId = "v";
    segment.srcStartUs = 0;
    segment.srcEndUs = 1000000;
    segment.outStartUs = 0;
    segment.outEndUs = 20000000;
    segment.speed = 0.05;
    if (recipe.matte) segment.transform.keyframes = {TransformKeyframe{0, {0.5, 0.5}, 0.7}};
    plan.segments = {segment};
    VideoOverlay overlay;
    overlay.id = "logo";
    overlay.role = VideoOverlayRole::logo;
    overlay.assetId = "logo";
    overlay.outStartUs = 0;
    overlay.outEndUs = 20000000;
    overlay.rect = {0.78, 0.05, 0.18, 0.12};
    overlay.opacity = 1;
    plan.videoOverlays = {overlay};
    ColorStep look, grain;
    look.kind = ColorStep::Look{"warm_cinema", 1};
    grain.kind = ColorStep::Grain{0.3, 7};
    plan.colorStack = {look, grain};
    if (recipe.text) {
        TextItem item;
        item.id = "caption";
        item.outStartUs = 0;
        item.outEndUs = 20000000;
        item.box = {0.1, 0.75, 0.8, 0.15};
        item.style.weight = 700;
        item.style.sizePct = 6;
        item.style.lineHeight = 1.2;
        item.style.color = "#FFFFFF";
        item.lines = {TextLine{{TextRun{"The picture of a frame", 0, 20000000, false, std::nullopt}}, std::nullopt}};
        plan.textItems = {item};
    }
    if (recipe.matte) plan.background = PlanBackground{BackgroundFill{BackgroundFill::Blur{4}}, "mask", 0, 20000000};
    RenderInputs inputs;
    inputs.plan = plan;
    inputs.size = {size.width, size.height};
    inputs.videos.emplace("v", video);
    auto still = StillPictures::decoded(logo, std::max(size.width, size.height));
    if (!still) die("logo");
    inputs.stills["logo"] = std::make_shared<const RGBAImage>(std::move(*still));
    if (recipe.matte) {
        inputs.matte = video;
        inputs.matteAssetId = "v";
    }
    inputs.timeline = ResolvedTimeline(plan, {{"v", video.table}}, {"logo"});
    LayerTracks tracks;
    tracks.clips[0] = 1;
    if (recipe.matte) tracks.masks[0] = 2;
    auto s = std::make_unique<GraphScene>(inputs, tracks);
    s->preflight();
    return s;
}

// A soft elliptic person mask at a third of the source's size.
std::shared_ptr<const RGBAImage> mask() {
    RGBAImage m = RGBAImage::transparent(0, 0, 640, 360);
    for (int y = 0; y < m.height; ++y)
        for (int x = 0; x < m.width; ++x) {
            double dx = (x - 320) / 150.0, dy = (y - 200) / 170.0;
            float v = static_cast<float>(std::clamp((1.0 - std::sqrt(dx * dx + dy * dy)) * 8, 0.0, 1.0));
            float* p = m.row(y) + x * 4;
            p[0] = p[1] = p[2] = v;
            p[3] = 1;
        }
    return std::make_shared<const RGBAImage>(std::move(m));
}

// Frames drawn on one thread: on a busy machine the work per frame says
// more than the rates, which tell the share of the processors won.
constexpr int oneThreadFrames = 30;

struct Ours {
    double oneAtATime = 0;
    double inFlight = 0;
    double oneThreadMs = 0; // per frame
};

Ours ours(const GraphScene& scene, const std::vector<AVFrame*>& frames, const VideoSource& video, bool matte) {
    auto maskFrame = mask();
    auto draw = [&](int i) {
        auto decoded = std::make_shared<const RGBAImage>(
            FrameConversion::converted(*frames[static_cast<size_t>(i % distinct)], video.color, DynamicRange::sdr,
                                       FrameConversion::FrameValues::picture));
        FrameSource source = [&](int32_t track) -> std::shared_ptr<const RGBAImage> {
            return track == 1 ? decoded : track == 2 ? maskFrame : nullptr;
        };
        ComposedRange range{{i, i + 1}, 0, false, {0}, matte};
        return scene.picture(i, range, source);
    };
    draw(0); // caches filled once, as in any render
    Ours o;
    auto start = Clock::now();
    double checksum = 0;
    for (int i = 0; i < frameCount; ++i) checksum += draw(i).pixels[0];
    o.oneAtATime = frameCount / std::chrono::duration<double>(Clock::now() - start).count();
    // Drawn the way a render runs: frames in order in, several drawn at once, in order out.
    start = Clock::now();
    int next = 0;
    tbb::parallel_pipeline(
        4, tbb::make_filter<void, int>(tbb::filter_mode::serial_in_order,
                                       [&](tbb::flow_control& fc) {
                                           if (next >= frameCount) {
                                               fc.stop();
                                               return 0;
                                           }
                                           return next++;
                                       }) &
               tbb::make_filter<int, RGBAImage>(tbb::filter_mode::parallel, [&](int i) { return draw(i); }) &
               tbb::make_filter<RGBAImage, void>(tbb::filter_mode::serial_in_order,
                                                 [&](const RGBAImage& p) { checksum += p.pixels[0]; }));
    o.inFlight = frameCount / std::chrono::duration<double>(Clock::now() - start).count();
    tbb::task_arena(1).execute([&] {
        auto from = Clock::now();
        for (int i = 0; i < oneThreadFrames; ++i) checksum += draw(i).pixels[0];
        o.oneThreadMs = std::chrono::duration<double, std::milli>(Clock::now() - from).count() / oneThreadFrames;
    });
    if (!std::isfinite(checksum)) die("a picture went wrong");
    return o;
}

AVFrame* rgbaFrame(const Picture& picture) {
    AVFrame* f = av_frame_alloc();
    f->format = AV_PIX_FMT_RGBA;
    f->width = static_cast<int>(picture.width);
    f->height = static_cast<int>(picture.height);
    av_frame_get_buffer(f, 32);
    for (int y = 0; y < f->height; ++y)
        for (int x = 0; x < f->width; ++x) {
            const uint8_t* s = &picture.pixels[static_cast<size_t>((y * f->width + x) * picture.bands)];
            uint8_t* d = f->data[0] + y * f->linesize[0] + x * 4;
            d[0] = s[0], d[1] = s[picture.bands >= 3 ? 1 : 0], d[2] = s[picture.bands >= 3 ? 2 : 0];
            d[3] = picture.bands == 4 ? s[3] : 255;
        }
    return f;
}

// The grain layer at strength 0.3 over the canvas, as grey, for the source
// time of one frame: made anew for every frame, as ours is.
void fillGrain(AVFrame* f, Sizes size, const std::shared_ptr<const std::vector<float>>& tile, int64_t sourceUs) {
    GrainStep step(tile, GrainGrid::offset(7, sourceUs), std::max(size.width, size.height) / 1080.0, 0.3, size.height);
    const float a = 0.24f;
    tbb::parallel_for(0, size.height, [&](int y) {
        for (int x = 0; x < size.width; ++x) {
            auto q = static_cast<uint8_t>(std::lround((a * step.level(x, y) + (1 - a) * 0.5f) * 255));
            for (int p = 0; p < 3; ++p) f->data[p][y * f->linesize[p] + x] = q;
        }
    });
}

AVFrame* grainFrame(Sizes size) {
    AVFrame* f = av_frame_alloc();
    f->format = AV_PIX_FMT_GBRP;
    f->width = size.width;
    f->height = size.height;
    av_frame_get_buffer(f, 32);
    return f;
}

std::shared_ptr<const std::vector<float>> grainTile() {
    auto values = GrainGrid::tile(7);
    auto tile = std::make_shared<std::vector<float>>(values.size());
    for (size_t i = 0; i < values.size(); ++i) (*tile)[i] = GrainGrid::byteOf(values[i]) / 255.0f;
    return tile;
}

// Frames per second of the graph on `threads` threads (its slices and the
// grain layer's rows).
double ffmpeg(int threads, Sizes size, const std::vector<AVFrame*>& frames, const fs::path& cube, const fs::path& logo) {
    AVFilterGraph* graph = avfilter_graph_alloc();
    graph->nb_threads = threads;
    auto source = [&](const char* name, int w, int h, int format) {
        char args[256];
        std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/30:pixel_aspect=1/1", w, h, format);
        AVFilterContext* c = nullptr;
        if (avfilter_graph_create_filter(&c, avfilter_get_by_name("buffer"), name, args, nullptr, graph) < 0) die("buffer");
        return c;
    };
    auto picture = StillImages::thumbnail(logo, 4096);
    AVFrame* logoFrame = rgbaFrame(*picture);
    AVFrame* grain = grainFrame(size);
    AVFilterContext* in = source("in", frames[0]->width, frames[0]->height, frames[0]->format);
    AVFilterContext* lg = source("logo", logoFrame->width, logoFrame->height, AV_PIX_FMT_RGBA);
    AVFilterContext* gr = source("grain", size.width, size.height, AV_PIX_FMT_GBRP);
    AVFilterContext* sink = nullptr;
    if (avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph) < 0) die("sink");
    render::Rect r = logoRect(size);
    double s = std::min(r.width / logoFrame->width, r.height / logoFrame->height);
    int lw = static_cast<int>(std::lround(logoFrame->width * s)), lh = static_cast<int>(std::lround(logoFrame->height * s));
    char description[1024];
    std::snprintf(description, sizeof description,
                  "[in]scale=%d:%d:flags=lanczos,format=gbrp,lut3d=file='%s':interp=trilinear[graded];"
                  "[graded][grain]blend=all_mode=softlight[grained];"
                  "[logo]scale=%d:%d:flags=lanczos[small];"
                  "[grained][small]overlay=x=%d:y=%d:format=gbrp[out]",
                  size.width, size.height, cube.c_str(), lw, lh, static_cast<int>(r.midX() - lw / 2.0),
                  static_cast<int>(r.midY() - lh / 2.0));
    AVFilterInOut* outputs = nullptr;
    AVFilterInOut* inputs = nullptr;
    auto link = [](AVFilterInOut*& list, const char* name, AVFilterContext* c) {
        AVFilterInOut* io = avfilter_inout_alloc();
        io->name = av_strdup(name);
        io->filter_ctx = c;
        io->pad_idx = 0;
        io->next = list;
        list = io;
    };
    link(outputs, "in", in);
    link(outputs, "logo", lg);
    link(outputs, "grain", gr);
    link(inputs, "out", sink);
    if (avfilter_graph_parse_ptr(graph, description, &inputs, &outputs, nullptr) < 0) die("parse the filter graph");
    if (avfilter_graph_config(graph, nullptr) < 0) die("configure the filter graph");
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    AVFrame* out = av_frame_alloc();
    auto tile = grainTile();
    auto push = [&](int i) {
        // The grain moves with the source frame shown.
        if (av_frame_make_writable(grain) < 0) die("grain frame");
        fillGrain(grain, size, tile, static_cast<int64_t>(i % distinct) * 1000000 / 30);
        for (auto [context, frame] : {std::pair{in, frames[static_cast<size_t>(i % distinct)]}, std::pair{lg, logoFrame},
                                      std::pair{gr, grain}}) {
            AVFrame* copy = av_frame_clone(frame);
            copy->pts = i;
            if (av_buffersrc_add_frame(context, copy) < 0) die("feed the filter graph");
            av_frame_free(&copy);
        }
        while (av_buffersink_get_frame(sink, out) >= 0) av_frame_unref(out);
    };
    double result = 0;
    tbb::task_arena(threads).execute([&] {
        push(0);
        const int count = threads == 1 ? oneThreadFrames : frameCount;
        auto start = Clock::now();
        for (int i = 1; i <= count; ++i) push(i);
        result = count / std::chrono::duration<double>(Clock::now() - start).count();
    });
    av_frame_free(&out);
    av_frame_free(&logoFrame);
    av_frame_free(&grain);
    avfilter_graph_free(&graph);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    // An optional first argument: how many frames to draw.
    if (argc > 1) frameCount = std::max(1, std::atoi(argv[1]));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    av_log_set_level(AV_LOG_ERROR);
    fs::path dir = fs::temp_directory_path() / ("korvel-bench-picture-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string ff = "ffmpeg -nostdin -v error -y ";
    fs::path source = dir / "source.mp4", logo = dir / "logo.png", cube = dir / "warm_cinema.cube";
    shell(ff + "-f lavfi -i testsrc2=size=1920x1080:rate=30 -t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p "
               "-color_primaries bt709 -color_trc bt709 -colorspace bt709 '" + source.string() + "'");
    shell(ff + "-f lavfi -i testsrc2=size=240x120 -frames:v 1 '" + logo.string() + "'");
    {
        auto values = LookCube::values("warm_cinema", 1);
        std::ofstream out(cube);
        out << "LUT_3D_SIZE 33\n";
        char line[96];
        for (size_t i = 0; i < values.size(); i += 4) {
            std::snprintf(line, sizeof line, "%.9g %.9g %.9g\n", values[i], values[i + 1], values[i + 2]);
            out << line;
        }
    }
    VideoSource video = VideoOpener::open(source);
    auto frames = decodedFrames(source);

    std::printf("%d frames drawn from the same %d decoded 1920x1080 frames, %u threads: ours (frame layer graph, "
                "YUV to float working space, Lanczos, warm_cinema cube, grain 0.3, logo) vs FFmpeg's libavfilter graph "
                "(scale lanczos, lut3d, blend softlight, overlay), both in this process\n",
                frameCount, distinct, std::thread::hardware_concurrency());
    {
        std::ifstream loadavg("/proc/loadavg");
        std::string one, five, fifteen;
        loadavg >> one >> five >> fifteen;
        std::printf("Compared: the picture of a frame (no encoding), ours beside libavfilter's, each making its grain "
                    "layer for every frame; load average %s %s %s at the start\n",
                    one.c_str(), five.c_str(), fifteen.c_str());
    }
    for (Sizes size : {Sizes{1620, 912}, Sizes{1920, 1080}}) {
        auto s = scene(size, video, logo, {});
        Ours o = ours(*s, frames, video, false);
        const int cores = static_cast<int>(std::thread::hardware_concurrency());
        double f = ffmpeg(cores, size, frames, cube, logo);
        double single = 1000 / ffmpeg(1, size, frames, cube, logo);
        std::printf("%dx%d  ours %7.1f fps one frame at a time (%.2fx), %7.1f fps four in flight (%.2fx)   ffmpeg %7.1f fps\n",
                    size.width, size.height, o.oneAtATime, o.oneAtATime / f, o.inFlight, o.inFlight / f, f);
        std::printf("%dx%d  on one thread: ours %.1f ms a frame, ffmpeg %.1f ms (%.2fx)\n", size.width, size.height,
                    o.oneThreadMs, single, single / o.oneThreadMs);
    }
    for (Sizes size : {Sizes{1620, 912}, Sizes{1920, 1080}}) {
        auto withText = scene(size, video, logo, {true, false});
        Ours t = ours(*withText, frames, video, false);
        auto matted = scene(size, video, logo, {false, true});
        Ours m = ours(*matted, frames, video, true);
        std::printf("%dx%d  ours with a caption %7.1f fps (four in flight); with a blurred backdrop and a matted "
                    "background %7.1f fps (%.1f ms a frame on one thread)\n",
                    size.width, size.height, t.inFlight, m.inFlight, m.oneThreadMs);
    }
    for (AVFrame* f : frames) av_frame_free(&f);
    fs::remove_all(dir);
    return 0;
}
