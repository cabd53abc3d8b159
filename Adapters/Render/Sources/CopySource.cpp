#include "Adapters/Render/Sources/CopySource.hpp"

#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/StoredSamples.hpp"
#include "Core/Timeline/TrackTimes.hpp"
#include "Core/Time.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <set>

namespace korvel {

namespace {

const std::set<int>& copyableProfiles() {
    static const std::set<int> profiles{66, 77, 88, 100};
    return profiles;
}
const std::set<std::string, std::less<>>& plainPrimaries() {
    static const std::set<std::string, std::less<>> names{"bt709", "unknown"};
    return names;
}
const std::set<std::string, std::less<>>& plainTransfers() {
    static const std::set<std::string, std::less<>> names{"bt709", "iec61966-2-4", "unknown"};
    return names;
}
const std::set<std::string, std::less<>>& plainMatrices() {
    static const std::set<std::string, std::less<>> names{"bt709", "unknown"};
    return names;
}

std::optional<int32_t> fixed(double value, double scale) {
    double r = std::round(value * scale);
    if (!(r >= INT32_MIN && r <= INT32_MAX)) return std::nullopt;
    return static_cast<int32_t>(r);
}

std::optional<CopiedVideoFormat> copiedFormat(const MovieSampleEntry& entry, const VideoSource& video) {
    const auto* avcC = entry.box("avcC");
    if (!avcC || avcC->size() < 2) return std::nullopt;
    if (!copyableProfiles().count((*avcC)[1])) return std::nullopt;
    if (entry.width != static_cast<int64_t>(std::trunc(video.naturalSize.width)) ||
        entry.height != static_cast<int64_t>(std::trunc(video.naturalSize.height))) {
        return std::nullopt;
    }
    auto m = CopySourceReader::matrix(video.preferredTransform);
    if (!m) return std::nullopt;
    CopiedVideoFormat format;
    format.sampleEntry = "avc1";
    format.configBox = "avcC";
    format.config = *avcC;
    format.width = entry.width;
    format.height = entry.height;
    format.matrix = *m;
    return format;
}

bool plainColor(const std::optional<AssetColor>& color) {
    return color && !color->hdr && !color->fullRange && plainPrimaries().count(color->primaries) &&
           plainTransfers().count(color->transfer) && plainMatrices().count(color->matrix);
}

using Wide = __int128;

// (2·Δ·G + S) ÷ (2·S), truncated: ticks of the output grid, nearest.
Wide onGrid(int64_t delta, int32_t G, int32_t S) { return (2 * static_cast<Wide>(delta) * G + S) / (2 * static_cast<Wide>(S)); }

EngineFailure doesNotFit() { return EngineFailure::internalError("A copied window does not fit the file format."); }

} // namespace

std::optional<std::array<int32_t, 9>> CopySourceReader::matrix(const AffineTransform& t) {
    std::array<double, 6> values{t.a, t.b, t.c, t.d, t.tx, t.ty};
    std::array<int32_t, 6> f{};
    for (size_t i = 0; i < 6; ++i) {
        auto v = fixed(values[i], 65536.0);
        if (!v) return std::nullopt;
        f[i] = *v;
    }
    return std::array<int32_t, 9>{f[0], f[1], 0, f[2], f[3], 0, f[4], f[5], 1073741824};
}

std::optional<CopySource> CopySourceReader::assemble(std::vector<CopySource::Sample> samples, const VideoSource& video,
                                                     const CopiedVideoFormat& format, RenderSize display) {
    CopySource source;
    source.url = video.url;
    if (video.track) source.bytes = video.track->bytes;
    source.format = format;
    source.offered.timescale = video.table.timescale;
    source.offered.endTicks = video.table.endTicks;
    source.displayWidth = display.width;
    source.displayHeight = display.height;
    int64_t before = 0;
    for (size_t k = 0; k < samples.size(); ++k) {
        const auto& key = samples[k];
        if (key.isSync && key.presentationTicks >= 0) {
            bool shownBefore = false;
            for (size_t j = k + 1; j < samples.size() && !samples[j].isSync; ++j) {
                if (samples[j].presentationTicks < key.presentationTicks) {
                    shownBefore = true;
                    break;
                }
            }
            if (!shownBefore) {
                source.startIndexes[key.presentationTicks] = k;
                source.offered.syncTicks.push_back(key.presentationTicks);
                source.offered.bytesBefore.push_back(before);
            }
        }
        before += key.size;
    }
    source.offered.totalBytes = before;
    if (source.offered.syncTicks.empty()) return std::nullopt;
    source.samples = std::move(samples);
    return source;
}

std::optional<CopySource> CopySourceReader::open(const VideoSource& video) {
    try {
        if (!video.track) return std::nullopt;
        const VideoTrack& track = *video.track;
        const MovieTrack& mt = track.movie;
        if (mt.sampleEntries.size() != 1) return std::nullopt;
        const MovieSampleEntry& entry = mt.sampleEntries.front();
        if (entry.format != "avc1") return std::nullopt;
        auto format = copiedFormat(entry, video);
        if (!format) return std::nullopt;
        if (!plainColor(video.color)) return std::nullopt;

        // A track demuxed from another container has no edit list, and its
        // samples are exact by construction.
        const MovieBox* movie = video.asset ? video.asset->movie() : nullptr;
        const uint32_t movieScale = movie ? movie->timescale : mt.mediaTimescale;
        std::vector<TrackSegment> edits;
        for (const auto& s : TrackTimes::segments(mt, movieScale, TrackTimes::mediaEnd(track.samples)))
            if (!s.empty) edits.push_back(s);
        if (edits.size() != 1) return std::nullopt;
        if (movie && !track.hasCursors) return std::nullopt;
        const TrackSegment& edit = edits.front();
        double s = edit.sourceDuration.seconds(), t = edit.targetDuration.seconds();
        if (!(std::abs(t / std::max(s, DBL_MIN) - 1) < 0.001)) return std::nullopt;
        int32_t T = video.table.timescale;
        int64_t shift = edit.targetStart.in(T) - edit.sourceStart.in(T);
        RenderSize display = video.displaySize();

        return blockingWork([&](StopFlag&) -> std::optional<CopySource> {
            if (track.samples.empty() || !StoredSamples::isStored(mt, track.samples.front())) return std::nullopt;
            std::vector<CopySource::Sample> samples;
            samples.reserve(track.samples.size());
            for (const auto& m : track.samples) {
                if (m.size < 1 || m.size > static_cast<uint32_t>(INT32_MAX)) return std::nullopt;
                CopySource::Sample sample;
                sample.decodeTicks = TickTime{m.decodeTime, static_cast<int32_t>(mt.mediaTimescale)}.in(T) + shift;
                sample.presentationTicks = TickTime{m.presentationTime(), static_cast<int32_t>(mt.mediaTimescale)}.in(T) + shift;
                sample.offset = m.offset;
                sample.size = static_cast<int32_t>(m.size);
                sample.isSync = m.isSync;
                samples.push_back(sample);
            }
            return assemble(std::move(samples), video, *format, display);
        });
    } catch (...) {
        return std::nullopt;
    }
}

std::vector<uint8_t> CopySource::fragment(std::pair<int64_t, int64_t> ticks, const FrameGrid& grid, int64_t length) const {
    auto start = startIndexes.find(ticks.first);
    if (start == startIndexes.end()) {
        throw EngineFailure::internalError("A copied window does not start on a keyframe.");
    }
    size_t f = start->second;
    size_t end = f + 1;
    while (end < samples.size()) {
        const Sample& s = samples[end];
        if (s.decodeTicks >= ticks.second || (s.isSync && s.presentationTicks >= ticks.second)) break;
        ++end;
    }
    const int32_t S = offered.timescale, G = grid.timescale;
    if (S <= 0 || G <= 0) throw doesNotFit();
    const int64_t d0 = samples[f].decodeTicks, p0 = samples[f].presentationTicks;
    std::vector<Wide> D, P;
    for (size_t k = f; k < end; ++k) {
        D.push_back(onGrid(samples[k].decodeTicks - d0, G, S));
        P.push_back(onGrid(samples[k].presentationTicks - p0, G, S));
    }
    std::vector<CopiedSample> copied;
    std::vector<StoredSamples::Entry> entries;
    for (size_t i = 0; i < D.size(); ++i) {
        Wide next = i + 1 < D.size() ? D[i + 1] : static_cast<Wide>(length);
        Wide duration = std::max<Wide>(next - D[i], 1);
        Wide offset = P[i] - D[i];
        if (duration > UINT32_MAX || offset > INT32_MAX || offset < INT32_MIN) throw doesNotFit();
        const Sample& s = samples[f + i];
        copied.push_back({static_cast<uint32_t>(duration), static_cast<uint32_t>(s.size), static_cast<int32_t>(offset), s.isSync});
        entries.push_back({s.offset, s.size});
    }
    auto payload = bytes ? StoredSamples::read(entries, *bytes) : StoredSamples::read(entries, url);
    try {
        return VideoFragmentWriter::fragment(format, static_cast<uint32_t>(G), copied, payload);
    } catch (const std::logic_error&) {
        throw doesNotFit();
    }
}

} // namespace korvel
