// What an export leaves running while it draws and encodes: a source whose
// last frame turns out not to decode fails the export in the check's own
// words, whenever the check ends; an encoder that refuses to open while the
// first frames are drawn fails it as it would have before them. Neither
// leaves anything at the output.

#include "Adapters/Files/FileDigest.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Render/ExportService.hpp"
#include "Core/JSONValue.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;
namespace fx = korvel::MediaFixtures;

namespace {

RenderPlan halfSecond(int width = 320, int height = 240) {
    std::string text =
        R"({"version":1,"canvas":{"format":"horizontal","width":)" + std::to_string(width) + R"(,"height":)" +
        std::to_string(height) + R"(,"fps":{"num":30,"den":1}},)"
        R"("segments":[{"assetId":"a","srcStartUs":0,"srcEndUs":500000,"outStartUs":0,"outEndUs":500000,"speed":1.0,)"
        R"("transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null}],)"
        R"("videoOverlays":[],"textItems":[],"colorStack":[],"background":null,)"
        R"("audioMix":{"tracks":[],"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":500000})";
    return decoded<RenderPlan>(JSONValue::parsing(text));
}

// A check of the last frame that waits until the export has reported
// `releasedAt` frames, then passes or fails.
struct HeldCheck {
    int64_t releasedAt = 0;
    bool fails = false;
    std::mutex lock;
    std::condition_variable changed;
    bool released = false;

    void reported(int64_t done) {
        std::lock_guard g(lock);
        if (done >= releasedAt) released = true;
        changed.notify_all();
    }
    void check(const VideoSource& video) {
        std::unique_lock g(lock);
        changed.wait(g, [&] { return released; });
        if (fails) throw MediaFailure::cutShort(video.url);
    }
};

} // namespace

TEST(ExportChecks, ALastFrameFailingMidEncodeFailsTheExportAndLeavesNothing) {
    const fs::path source = fx::path("plain.mp4");
    const fs::path folder = fx::folder() / ("export-checks-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "out");
    const int64_t frames = 15;
    struct Case {
        const char* what;
        int64_t releasedAt;
        bool fails;
    } cases[] = {
        {"fails after the first frame", 1, true},
        {"fails once every frame is encoded", frames, true},
        {"passes after the first frame", 1, false},
    };
    for (const auto& c : cases) {
        HeldCheck held;
        held.releasedAt = c.releasedAt;
        held.fails = c.fails;
        auto work = SourceLibrary::Work::real();
        work.checkEnd = [&held](const VideoSource& video) { held.check(video); };
        ExportService service{std::make_shared<SourceLibrary>(work), std::make_shared<TextCaches>(), folder / "journal"};
        ExportParams params;
        params.plan = halfSecond();
        params.sources = std::map<std::string, EngineSource>{{"a", {source.string(), FileDigest::sha256(source)}}};
        params.codec = ExportCodec::h264;
        params.videoBitrate = 1'000'000;
        params.outPath = (folder / "out" / "export.mp4").string();
        JobContext context([&held](const EngineProgress& p) {
            if (p.phase == EngineProgress::Phase::export_) held.reported(p.done);
        });
        std::optional<EngineFailure> failure;
        try {
            ExportResult result = service.export_(params, context);
            EXPECT_EQ(result.frameCount, frames) << c.what;
        } catch (const EngineFailure& f) {
            failure = f;
        }
        if (c.fails) {
            EXPECT_EQ(failure.value_or(EngineFailure{0, "exported"}), (EngineFailure{-32002, "plain.mp4 is cut short or damaged, so its end can't be read."}))
                << c.what;
            EXPECT_TRUE(fs::is_empty(folder / "out")) << c.what << " left its output";
        } else {
            EXPECT_FALSE(failure) << c.what << ": " << failure->message;
            EXPECT_TRUE(fs::exists(params.outPath)) << c.what;
            fs::remove(params.outPath);
        }
    }
    fs::remove_all(folder);
}

TEST(ExportChecks, AnEncoderRefusingWhileTheFirstFramesAreDrawnLeavesNothing) {
    const fs::path source = fx::path("plain.mp4");
    const fs::path folder = fx::folder() / ("export-refused-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "out");
    // x265 opens nothing smaller than its coding blocks; x264 takes any size.
    ExportService service{std::make_shared<SourceLibrary>(), std::make_shared<TextCaches>(), folder / "journal"};
    ExportParams params;
    params.plan = halfSecond(2, 2);
    params.sources = std::map<std::string, EngineSource>{{"a", {source.string(), FileDigest::sha256(source)}}};
    params.codec = ExportCodec::hevc;
    params.videoBitrate = 1'000'000;
    params.outPath = (folder / "out" / "export.mp4").string();
    std::optional<EngineFailure> failure;
    try {
        service.export_(params, JobContext::silent());
    } catch (const EngineFailure& f) {
        failure = f;
    }
    EXPECT_EQ(failure.value_or(EngineFailure{0, "exported"}), (EngineFailure{-32003, "The encoder refused its settings."}));
    EXPECT_TRUE(fs::is_empty(folder / "out")) << "left its output";
    params.plan = halfSecond(4, 2);
    params.codec = ExportCodec::h264;
    EXPECT_EQ(service.export_(params, JobContext::silent()).frameCount, 15);
    fs::remove_all(folder);
}
