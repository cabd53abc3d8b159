// Measuring captions and drawing text layers, next to raw HarfBuzz shaping of
// the same tokens and to ffmpeg's drawtext filter, in one run.
#include "Adapters/Text/BundledFonts.hpp"
#include "Adapters/Text/TextMeasureService.hpp"
#include "Adapters/Text/TextRasterizer.hpp"
#include "Core/Text/TextCase.hpp"
#include "Core/Text/TextWrap.hpp"

#include <hb.h>

#include "Core/Text/Utf8.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace korvel;

namespace {

using Clock = std::chrono::steady_clock;
double ms(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

const char* words[] = {"the",   "quick", "brown",  "fox",    "jumps", "over",  "lazy",    "dog",   "every",
                       "morning", "while", "people", "watch", "videos", "about", "cooking", "simple", "meals",
                       "at",    "home",  "with",   "friends", "and",  "family", "tonight", "really"};

// `count` captions of twelve words, deterministic.
RenderPlan captions(int count) {
    RenderPlan plan;
    plan.canvas = {VideoFormat::vertical, 1080, 1920, {30, 1}};
    uint64_t state = 7;
    for (int i = 0; i < count; ++i) {
        TextItem t;
        t.id = "c" + std::to_string(i);
        t.role = TextRole::caption;
        t.outStartUs = i * 2'000'000;
        t.outEndUs = t.outStartUs + 2'000'000;
        t.box = {0.08, 0.62, 0.84, 0.2};
        t.style.font = FontFamily::montserrat;
        t.style.weight = 800;
        t.style.sizePct = 7.5;
        t.style.lineHeight = 1.15;
        t.style.letterSpacingEm = -0.01;
        t.style.color = "#ffffff";
        TextLine line;
        for (int w = 0; w < 12; ++w) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            line.runs.push_back({words[(state >> 33) % 26], t.outStartUs + w * 150'000,
                                 t.outStartUs + (w + 1) * 150'000, false, std::nullopt});
        }
        t.lines = {line};
        plan.textItems.push_back(t);
    }
    return plan;
}

// Every token of the plan shaped once by HarfBuzz on the same face.
double rawShaping(const RenderPlan& plan) {
    const auto& face = std::get<std::shared_ptr<const FontFace>>(BundledFonts::face(FontFamily::montserrat).descriptor);
    hb_font_t* font = hb_font_create(face->face());
    hb_variation_t wght{HB_TAG('w', 'g', 'h', 't'), 800};
    hb_font_set_variations(font, &wght, 1);
    hb_feature_t noKern{HB_TAG('k', 'e', 'r', 'n'), 0, 0, ~0u};
    hb_buffer_t* buf = hb_buffer_create();
    const auto start = Clock::now();
    double sink = 0;
    for (const auto& item : plan.textItems) {
        for (const auto& run : item.lines[0].runs) {
            hb_buffer_clear_contents(buf);
            hb_buffer_add_utf8(buf, run.text.data(), static_cast<int>(run.text.size()), 0, -1);
            hb_buffer_guess_segment_properties(buf);
            hb_shape(font, buf, &noKern, 1);
            unsigned n = 0;
            const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buf, &n);
            for (unsigned i = 0; i < n; ++i) sink += pos[i].x_advance;
        }
    }
    const double elapsed = ms(start);
    hb_buffer_destroy(buf);
    hb_font_destroy(font);
    if (sink < 0) std::puts("");
    return elapsed;
}

// The bundled Montserrat as a file drawtext can open (FreeType reads WOFF2).
const char* montserratFile = KORVEL_DEPS_DIR "/_fontsource-variable_montserrat_5.3.0/package/files/"
                                             "montserrat-latin-wght-normal.woff2";

// The caption's words as our layout breaks them into rows: each row is the
// longest run of words that our measure still sets on one row.
std::vector<std::string> captionRows(const TextItem& item, const RenderPlan& plan) {
    std::vector<std::string> rows;
    std::string current;
    TextCaches caches;
    for (const auto& run : item.lines[0].runs) {
        std::string tried = current.empty() ? run.text : current + " " + run.text;
        RenderPlan one = plan;
        TextItem probe = item;
        probe.lines = {TextLine{{TextRun{tried, item.outStartUs, item.outEndUs, false, std::nullopt}}, std::nullopt}};
        one.textItems = {probe};
        if (!current.empty() && TextMeasureService::measure({one}, caches).items[0].lines > 1) {
            rows.push_back(current);
            current = run.text;
        } else {
            current = tried;
        }
    }
    if (!current.empty()) rows.push_back(current);
    return rows;
}

// ffmpeg's drawtext per frame for the same caption (same font file, size,
// rows and shadow offset and colour; drawtext's shadow is not blurred): the
// run with the filter minus the same run without.
double drawtextPerFrame(const TextItem& item, const std::vector<std::string>& rows, double unit) {
    const char* base = "ffmpeg -nostdin -v error -threads 1 -filter_threads 1 -f lavfi -i color=c=gray:s=1920x1080:r=30:d=10 ";
    // drawtext takes real line feeds only from a file.
    const std::string textFile = "/tmp/korvel-bench-caption-" + std::to_string(getpid()) + ".txt";
    {
        FILE* f = std::fopen(textFile.c_str(), "w");
        if (!f) return -1;
        for (size_t i = 0; i < rows.size(); ++i) std::fprintf(f, "%s%s", i ? "\n" : "", rows[i].c_str());
        std::fclose(f);
    }
    const double size = unit * item.style.sizePct;
    const double spacing = size * (item.style.lineHeight - 1);
    const double shadow = item.style.shadow ? item.style.shadow->offsetYPct * unit : 0;
    char drawing[1024];
    std::snprintf(drawing, sizeof drawing,
                  "-vf \"format=rgba,drawtext=fontfile=%s:textfile=%s:fontsize=%.2f:line_spacing=%.0f:fontcolor=white:"
                  "shadowcolor=black@%.2f:shadowx=0:shadowy=%.0f:x=(w-tw)/2:y=h*%.3f\" -f null - ",
                  montserratFile, textFile.c_str(), size, spacing, item.style.shadow ? item.style.shadow->opacity : 0.0,
                  std::max(1.0, shadow), item.box.y);
    const std::string drawn = drawing;
    const std::string plain = "-vf format=rgba -f null - ";
    const auto time = [&](const std::string& args) {
        double best = 1e18;
        for (int i = 0; i < 3; ++i) {
            const auto start = Clock::now();
            if (std::system((std::string(base) + args).c_str()) != 0) return -1.0;
            best = std::min(best, ms(start));
        }
        return best;
    };
    const double with = time(drawn), without = time(plain);
    std::remove(textFile.c_str());
    if (with < 0 || without < 0) return -1;
    return (with - without) / 300.0;
}

// `count` scalars cycled from `pattern`.
std::string cycled(const std::vector<uint32_t>& pattern, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) Utf8::append(out, pattern[static_cast<size_t>(i) % pattern.size()]);
    return out;
}

std::vector<uint32_t> range(uint32_t from, uint32_t to) {
    std::vector<uint32_t> out;
    for (uint32_t c = from; c <= to; ++c) out.push_back(c);
    return out;
}

// One caption of one run holding `text`, on a 1080x1920 canvas.
RenderPlan oneLongItem(const std::string& text) {
    RenderPlan plan = captions(1);
    TextItem& t = plan.textItems[0];
    t.box = {0.1, 0.7, 0.8, 0.2};
    t.style.font = FontFamily::inter;
    t.style.weight = 700;
    t.style.sizePct = 6;
    t.lines = {TextLine{{TextRun{text, 0, 2'000'000, false, std::nullopt}}, std::nullopt}};
    return plan;
}

// Measure, layout and one drawn frame of one long item, in a child process
// so that its peak resident size is its own.
void longItem(const char* name, const std::string& text) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const RenderPlan plan = oneLongItem(text);
        TextCaches caches;
        auto start = Clock::now();
        const auto measured = TextMeasureService::measure({plan}, caches);
        const double measureMs = ms(start);
        TextCaches fresh;
        start = Clock::now();
        (void)TextMeasureService::layout({plan, {plan.textItems[0].id}}, fresh);
        const double layoutMs = ms(start);
        TextCaches third;
        TextRasterizer r({plan.canvas.width, plan.canvas.height}, TextMetrics::unit(plan.canvas.width, plan.canvas.height),
                         {}, third);
        start = Clock::now();
        (void)r.sharedLayer(plan.textItems[0], 0);
        const double drawMs = ms(start);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%-34s %8d %10.1f %10.1f %10.1f %10.1f %6lld\n", name, static_cast<int>(text.size()), measureMs,
                    layoutMs, drawMs, usage.ru_maxrss / 1024.0, static_cast<long long>(measured.items[0].lines));
        std::fflush(stdout);
        std::_Exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("%-34s failed\n", name);
}

} // namespace

int main(int argc, char** argv) {
    std::printf("One long caption (1080x1920, box 0.8 x 0.2, Inter 700 at 6 %%), cold caches each: measureText, textLayout\n"
                "and one drawn layer; peak resident size of the whole run.\n");
    std::printf("%-34s %8s %10s %10s %10s %10s %6s\n", "item", "bytes", "measure ms", "layout ms", "draw ms", "peak MB",
                "rows");
    longItem("30,000 CJK ideographs", cycled(range(0x4E00, 0x4FFF), 30'000));
    longItem("50,000 Thai (a repeated sentence)",
             cycled({0x0E20, 0x0E32, 0x0E29, 0x0E32, 0x0E44, 0x0E17, 0x0E22, 0x0E07, 0x0E48, 0x0E32, 0x0E22, 0x0E21,
                     0x0E32, 0x0E01},
                    50'000));
    longItem("100,000 Latin letters, no spaces", cycled(range('a', 'z'), 100'000));
    longItem("30,000 emoji", cycled(range(0x1F600, 0x1F64F), 30'000));
    if (argc > 1 && std::string(argv[1]) == "--long-only") return 0;
    std::printf("\n");

    std::printf("Measuring: render.measureText of 12-word captions on 1080x1920 (Montserrat 800), cold (new caches) and\n"
                "warm (same caches), next to raw HarfBuzz shaping of the same tokens once, same face, one thread.\n");
    std::printf("%8s %12s %12s %14s %10s\n", "captions", "cold ms", "warm ms", "raw hb ms", "warm/raw");
    for (int count : {100, 200, 400}) {
        const RenderPlan plan = captions(count);
        TextCaches caches;
        auto start = Clock::now();
        const auto cold = TextMeasureService::measure({plan}, caches);
        const double coldMs = ms(start);
        double warmMs = 1e18;
        for (int i = 0; i < 5; ++i) {
            start = Clock::now();
            (void)TextMeasureService::measure({plan}, caches);
            warmMs = std::min(warmMs, ms(start));
        }
        double raw = 1e18;
        for (int i = 0; i < 5; ++i) raw = std::min(raw, rawShaping(plan));
        std::printf("%8d %12.2f %12.2f %14.2f %10.2f\n", count, coldMs, warmMs, raw, warmMs / raw);
        if (cold.items.size() != static_cast<size_t>(count)) return 1;
    }

    std::string load;
    {
        FILE* f = std::fopen("/proc/loadavg", "r");
        char text[64] = "";
        char one[16] = "", five[16] = "", fifteen[16] = "";
        if (f && std::fgets(text, sizeof text, f) && std::sscanf(text, "%15s %15s %15s", one, five, fifteen) == 3)
            load = std::string(one) + " " + five + " " + fifteen;
        if (f) std::fclose(f);
    }
    std::printf("\nDrawing at 1080p on one core: our text layer (float linear tiles) per call, next to ffmpeg drawtext's\n"
                "per-frame cost for the same caption: same font file, size, words and rows, a shadow of the same offset and\n"
                "colour (drawtext's is not blurred, ours is; drawtext sets the variable font's default weight, ours 800),\n"
                "ffmpeg with the filter minus without, 300 frames, one thread; load average %s\n",
                load.c_str());
    const RenderSize size{1920, 1080};
    const double unit = TextMetrics::unit(1920, 1080);
    TextCaches caches;
    RenderPlan plan = captions(1);
    TextItem two = plan.textItems[0];
    two.box = {0.1, 0.65, 0.8, 0.3};
    two.style.shadow = TextShadow{0.4, 1.2, "#000000", 0.6};
    {
        TextRasterizer warmup(size, unit, {}, caches);
        (void)warmup.sharedLayer(two, two.outStartUs);
    }
    double first = 1e18, cached = 1e18;
    for (int i = 0; i < 20; ++i) {
        TextRasterizer r(size, unit, {}, caches);
        auto start = Clock::now();
        auto a = r.sharedLayer(two, two.outStartUs);
        first = std::min(first, ms(start));
        start = Clock::now();
        auto b = r.sharedLayer(two, two.outStartUs + 1);
        cached = std::min(cached, ms(start));
        if (!a || a != b) return 1;
    }
    TextItem entering = two;
    entering.lines[0].runs.resize(8);
    entering.entrance = "pop";
    for (size_t i = 0; i < 8; ++i) entering.lines[0].runs[i].enterUs = entering.outStartUs + int64_t(i) * 100'000;
    TextEntrance pop;
    pop.durationUs = 400'000;
    pop.easing = {0.34, 1.56, 0.64, 1};
    pop.from = {0, 0.3, 0.7, 2};
    pop.fade = {200'000, {0.25, 0.1, 0.25, 1}};
    TextRasterizer r(size, unit, {{"pop", pop}}, caches);
    (void)r.sharedLayer(entering, entering.outStartUs + 300'000); // tiles made once
    // Frames while runs are still arriving, tiles made; the mean per frame.
    const auto start = Clock::now();
    for (int i = 0; i < 30; ++i) {
        if (!r.sharedLayer(entering, entering.outStartUs + 300'000 + i * 20'000)) return 1;
    }
    const double frame = ms(start) / 30;
    // Rows measured on the canvas the layer is drawn on.
    RenderPlan wide = plan;
    wide.canvas = {VideoFormat::horizontal, size.width, size.height, {30, 1}};
    const auto rows = captionRows(two, wide);
    const double ffmpeg = drawtextPerFrame(two, rows, unit);
    std::printf("%-44s %10.3f ms\n", "first draw, two-line caption with shadow", first);
    std::printf("%-44s %10.3f ms\n", "cached still item", cached);
    std::printf("%-44s %10.3f ms\n", "one frame of an eight-run entrance", frame);
    std::printf("%-44s %10zu\n", "rows of the caption", rows.size());
    if (ffmpeg >= 0) std::printf("%-44s %10.3f ms\n", "ffmpeg drawtext, same caption with shadow", ffmpeg);
    else std::printf("%-44s %10s\n", "ffmpeg drawtext, same caption with shadow", "n/a");
    return 0;
}
