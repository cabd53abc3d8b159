#include "Adapters/Render/ThumbnailService.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Render/Outputs/ImageFiles.hpp"
#include "Adapters/Render/PreviewService.hpp"
#include "Adapters/Render/Sources/StillImages.hpp"
#include "Adapters/Render/Sources/VideoFrames.hpp"
#include "Core/Picture/Orientation.hpp"
#include "Core/Picture/RenderSize.hpp"
#include "Core/Time.hpp"

namespace korvel {

namespace {

// HLG and PQ frames read as plain codes look washed out: they are brought
// to standard range as a render for an SDR output brings them.
Picture standardRange(const VideoSource& video, size_t sample, RenderSize size) {
    RGBAImage image = VideoFrames::image(video.url, *video.track, sample, size, video.color, DynamicRange::sdr,
                                         [] { Task::checkCancellation(); });
    return gammaPicture(image, {image.width, image.height});
}

} // namespace

std::optional<Picture> ThumbnailService::still(const std::filesystem::path& location, int64_t longEdge) {
    return StillImages::thumbnail(location, longEdge);
}

ThumbnailResult ThumbnailService::thumbnail(const ThumbnailParams& params) const {
    library->verify(params.source);
    std::filesystem::path location(params.source.path);
    std::filesystem::path out(params.outPath);
    if (auto picture = still(location, params.maxLongEdge)) {
        ImageFiles::write(*picture, out);
        return {params.outPath, picture->width, picture->height, 0};
    }
    auto video = library->video(location);
    const PTSTable& table = video->table;
    if (table.pts.empty()) throw EngineFailure::unsupportedFormat(nameOf(location) + " has no frames.");
    int64_t ticks = 0;
    try {
        ticks = Microseconds::ticks(params.atUs, table.timescale);
    } catch (const TimeOverflow&) {
        // Instants before the start or past the end clamp to it, however far.
        ticks = params.atUs < 0 ? table.pts.front() : table.pts.back();
    }
    auto index = static_cast<size_t>(table.indexOnScreen(ticks));
    // The opener checked that every shown time fits microseconds.
    const int64_t ptsUs = table.us(table.pts[index]);

    RenderSize display = video->displaySize();
    RenderSize bound = RenderSize::fitting(display.width, display.height, params.maxLongEdge);
    int orientation = video->orientation();
    RenderSize stored = Orientation::swapsSides(orientation) ? RenderSize{bound.height, bound.width} : bound;
    const size_t sample = video->track->sampleOfEntry[index];
    std::optional<Picture> decoded;
    try {
        if (video->color && video->color->hdr) {
            decoded = standardRange(*video, sample, stored);
        } else {
            decoded = VideoFrames::picture(video->url, *video->track, sample, stored, [] { Task::checkCancellation(); });
        }
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        // A damaged frame is the decoder's text, no sentence for the user.
        throw MediaFailure::reading(std::current_exception(), "This video");
    }
    // Written last: a request that fails leaves nothing at outPath.
    Picture picture = decoded->oriented(orientation);
    ImageFiles::write(picture, out);
    return {params.outPath, picture.width, picture.height, ptsUs};
}

} // namespace korvel
