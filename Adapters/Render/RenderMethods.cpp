#include "Adapters/Render/RenderMethods.hpp"

#include "Adapters/Methods/EngineFolders.hpp"
#include "Adapters/Render/ProbeService.hpp"
#include "Adapters/Render/TempOutput.hpp"
#include "Adapters/Render/ThumbnailService.hpp"
#include "Adapters/Text/TextMeasureService.hpp"
#include "Core/Render/AssetMethodTypes.hpp"
#include "Core/Render/TextMethodTypes.hpp"

namespace korvel::RenderMethods {

std::map<std::string, Job, std::less<>> table(const std::filesystem::path& cacheRoot,
                                              std::shared_ptr<SourceLibrary> library, TextCaches text) {
    TempOutput::sweep(EngineCaches{cacheRoot}.journal());
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
    return methods;
}

} // namespace korvel::RenderMethods
