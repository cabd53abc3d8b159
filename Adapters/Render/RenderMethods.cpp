#include "Adapters/Render/RenderMethods.hpp"

#include "Adapters/Audio/ProcessTempFile.hpp"
#include "Adapters/Methods/EngineFolders.hpp"
#include "Adapters/Render/ProbeService.hpp"
#include "Adapters/Render/TempOutput.hpp"
#include "Adapters/Render/ThumbnailService.hpp"
#include "Adapters/Text/TextMeasureService.hpp"
#include "Core/Render/AssetMethodTypes.hpp"
#include "Core/Render/SegmentMethodTypes.hpp"
#include "Core/Render/TextMethodTypes.hpp"

namespace korvel::RenderMethods {

std::map<std::string, Job, std::less<>> table(const std::filesystem::path& cacheRoot,
                                              std::shared_ptr<SourceLibrary> library, TextCaches text,
                                              Job audioSegment) {
    TempOutput::sweep(EngineCaches{cacheRoot}.journal());
    ProcessTempFile::sweep(ProcessTempFile::defaultFolder());
    std::map<std::string, Job, std::less<>> methods;
    ProbeService probe(library);
    methods["asset.probe"] = [probe](const JSONValue& params, const JobContext&) {
        return encoding(probe.probe(decoded<ProbeParams>(params)));
    };
    ThumbnailService thumbnails(library);
    methods["asset.thumbnail"] = [thumbnails](const JSONValue& params, const JobContext&) {
        return encoding(thumbnails.thumbnail(decoded<ThumbnailParams>(params)));
    };
    methods["render.measureText"] = [text](const JSONValue& params, const JobContext&) {
        return encoding(TextMeasureService::measure(decoded<TextMeasureParams>(params), text));
    };
    methods["render.textLayout"] = [text](const JSONValue& params, const JobContext&) {
        return encoding(TextMeasureService::layout(decoded<TextLayoutParams>(params), text));
    };
    // Audio-track requests go to the audio side with the undecoded params.
    methods["render.segment"] = [audioSegment](const JSONValue& params, const JobContext& context) {
        const auto request = decoded<SegmentParams>(params);
        if (request.track == SegmentTrack::audio && audioSegment) return audioSegment(params, context);
        throw EngineFailure(-32601, "render.segment is not built yet.");
    };
    return methods;
}

} // namespace korvel::RenderMethods
