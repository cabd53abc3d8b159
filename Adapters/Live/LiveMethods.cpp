#include "Adapters/Live/LiveMethods.hpp"

#include "Core/Wire/Contract.hpp"
#include "Core/Wire/LiveMethodTypes.hpp"

namespace korvel {

namespace LiveMethods {

std::map<std::string, Job, std::less<>> table(std::shared_ptr<const LivePreviewService> previews,
                                              std::shared_ptr<OnceShelf<LiveComposition>> videos) {
    std::map<std::string, Job, std::less<>> methods;
    methods["render.live"] = [previews, videos](const JSONValue& params, const JobContext&) {
        LiveComposition live = previews->open(decoded<LiveParams>(params));
        LiveResult result{"", live.durationUs, live.frameCount, live.width, live.height, live.structure};
        result.id = videos->put(std::move(live));
        return encoding(result);
    };
    return methods;
}

} // namespace LiveMethods
} // namespace korvel
