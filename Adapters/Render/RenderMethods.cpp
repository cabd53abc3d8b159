#include "Adapters/Render/RenderMethods.hpp"

#include "Adapters/Audio/AudioMethods.hpp"
#include "Adapters/Files/FileIdentity.hpp"
#include "Adapters/Files/EngineCaches.hpp"
#include "Adapters/Render/ExportService.hpp"
#include "Adapters/Render/PreviewService.hpp"
#include "Adapters/Render/ProbeService.hpp"
#include "Adapters/Files/ProcessTempFile.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Adapters/Render/ThumbnailService.hpp"
#include "Adapters/Text/TextMeasureService.hpp"
#include "Core/Wire/AssetMethodTypes.hpp"
#include "Core/Wire/FrameMethodTypes.hpp"
#include "Core/Wire/ExportMethodTypes.hpp"
#include "Core/Wire/SegmentMethodTypes.hpp"
#include "Core/Wire/TextMethodTypes.hpp"

namespace korvel::RenderMethods {

namespace {

using SourceMap = std::map<std::string, EngineSource>;
using MatteMap = std::map<std::string, MatteRef>;

// Every file a render request may read: its sources, its stored masks and
// the mix it muxes in.
std::vector<std::filesystem::path> readBy(const std::optional<SourceMap>& sources,
                                          const std::optional<MatteMap>& mattes,
                                          const std::optional<std::string>& audioPath = std::nullopt) {
    std::vector<std::filesystem::path> paths;
    if (sources)
        for (const auto& [id, source] : *sources) paths.emplace_back(source.path);
    if (mattes)
        for (const auto& [key, matte] : *mattes) paths.emplace_back(matte.path);
    if (audioPath) paths.emplace_back(*audioPath);
    return paths;
}

} // namespace

std::map<std::string, Job, std::less<>> table(const std::filesystem::path& cacheRoot,
                                              std::shared_ptr<SourceLibrary> library, TextCaches text,
                                              std::shared_ptr<AudioPlanRenderer> plans) {
    EngineCaches caches{cacheRoot};
    TempOutput::sweep(caches.journal());
    ProcessTempFile::sweep(ProcessTempFile::defaultFolder());
    std::map<std::string, Job, std::less<>> methods;
    ProbeService probe(library);
    methods["asset.probe"] = [probe](const JSONValue& params, const JobContext&) {
        return encoding(probe.probe(decoded<ProbeParams>(params)));
    };
    ThumbnailService thumbnails(library);
    methods["asset.thumbnail"] = [thumbnails](const JSONValue& params, const JobContext&) {
        auto thumbnail = decoded<ThumbnailParams>(params);
        const std::filesystem::path source(thumbnail.source.path);
        FileIdentity::refuseOverwriting(thumbnail.outPath, std::span(&source, 1),
                                        "A thumbnail can't be written over its source.");
        return encoding(thumbnails.thumbnail(thumbnail));
    };
    // The copy shares the engine's caches: they live behind shared pointers.
    auto shared = std::make_shared<TextCaches>(text);
    PreviewService preview{caches, InputResolver{library, shared}, library, true};
    methods["render.segments"] = [preview](const JSONValue& params, const JobContext&) {
        return encoding(preview.segments(decoded<SegmentListParams>(params)));
    };
    methods["render.segment"] = [preview, plans](const JSONValue& params, const JobContext& context) {
        auto segment = decoded<SegmentParams>(params);
        FileIdentity::refuseOverwriting(segment.outPath, readBy(segment.sources, segment.mattes),
                                        "A preview segment can't be written over one of its sources.");
        if (segment.track == SegmentTrack::audio && plans) {
            return encoding(AudioMethods::segment(segment, *plans, context));
        }
        return encoding(preview.segment(segment, context));
    };
    methods["render.frame"] = [preview](const JSONValue& params, const JobContext&) {
        auto frame = decoded<FrameParams>(params);
        FileIdentity::refuseOverwriting(frame.outPath, readBy(frame.sources, frame.mattes),
                                        "A frame can't be written over one of its sources.");
        return encoding(preview.frame(frame));
    };
    ExportService exports{library, shared, caches.journal()};
    methods["render.export"] = [exports](const JSONValue& params, const JobContext& context) {
        auto movie = decoded<ExportParams>(params);
        FileIdentity::refuseOverwriting(movie.outPath, readBy(movie.sources, movie.mattes, movie.audioPath),
                                        "An export can't be written over one of its sources.");
        return encoding(exports.export_(movie, context));
    };
    // Text is sized from the canvas: one the renders refuse has no layout.
    methods["render.measureText"] = [text](const JSONValue& params, const JobContext&) {
        auto measured = decoded<TextMeasureParams>(params);
        PreviewService::checkCanvas(measured.plan.canvas);
        return encoding(TextMeasureService::measure(measured, text));
    };
    methods["render.textLayout"] = [text](const JSONValue& params, const JobContext&) {
        auto laidOut = decoded<TextLayoutParams>(params);
        PreviewService::checkCanvas(laidOut.plan.canvas);
        return encoding(TextMeasureService::layout(laidOut, text));
    };
    return methods;
}

} // namespace korvel::RenderMethods
