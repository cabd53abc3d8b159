#include "Core/Container/PlainAACTrack.hpp"

#include <cmath>

namespace korvel {

namespace {

constexpr uint8_t mpeg4Audio = 0x40;
constexpr int aacLC = 2;
// Past this a sample table is no sound worth a direct read.
constexpr uint64_t sampleLimit = uint64_t(1) << 22;

// Every packet but the last lasts one AAC frame and starts one frame after
// the one before it; the last may be shorter.
bool packetsRunEvenly(const std::vector<MovieSample>& samples) {
    if (samples.empty()) return false;
    for (size_t i = 0; i < samples.size(); ++i) {
        const bool last = i + 1 == samples.size();
        if (samples[i].duration > PlainAACTrack::framesPerPacket) return false;
        if (!last && samples[i].duration < PlainAACTrack::framesPerPacket) return false;
        if (i > 0 && samples[i].presentationTime() != samples[i - 1].presentationTime() + PlainAACTrack::framesPerPacket) {
            return false;
        }
    }
    return true;
}

std::optional<PlainAACTrack> read(const MovieBox& movie) {
    if (movie.timescale == 0) return std::nullopt;
    const MovieTrack* track = nullptr;
    for (const auto& t : movie.tracks) {
        if (t.handler == "soun") {
            track = &t;
            break;
        }
    }
    // A second entry could switch the stream's configuration midway.
    if (!track || track->sampleEntries.size() != 1 || track->mediaTimescale == 0) return std::nullopt;
    const MovieSampleEntry& entry = track->sampleEntries[0];
    const auto* esds = entry.box("esds");
    if (entry.format != "mp4a" || !esds) return std::nullopt;
    const auto config = ElementaryStreamDescriptor::decoderConfig(*esds);
    if (!config || config->objectTypeIndication != mpeg4Audio || config->specificInfo.size() < 2) return std::nullopt;
    const auto& info = config->specificInfo;
    const int objectType = info[0] >> 3;
    const bool shortFrames = (info[1] >> 2) & 1; // 960-frame packets
    const int64_t channels = (info[1] >> 3) & 0xF;
    if (objectType != aacLC || shortFrames || channels < 1) return std::nullopt;

    PlainAACTrack out;
    out.track = track;
    out.channels = channels;
    out.rate = track->mediaTimescale;
    out.presentedFrames = track->mediaDuration;
    if (track->edits) {
        // An empty edit before the sound moves its start away from 0.
        if (track->edits->size() != 1 || track->edits->front().isEmpty()) return std::nullopt;
        const MovieEdit& edit = track->edits->front();
        if (std::fabs(edit.rate - 1.0) > 1e-9) return std::nullopt;
        out.delayFrames = edit.mediaTime;
        out.presentedFrames = static_cast<int64_t>(
            std::llround(static_cast<double>(edit.segmentDuration) * static_cast<double>(out.rate) / movie.timescale));
    }
    out.samples = track->samples(sampleLimit);
    if (!packetsRunEvenly(out.samples)) return std::nullopt;
    return out;
}

} // namespace

std::optional<PlainAACTrack> PlainAACTrack::of(const MovieBox& movie) {
    try {
        return read(movie);
    } catch (const MovieBoxError&) {
        return std::nullopt;
    }
}

} // namespace korvel
