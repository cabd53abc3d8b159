#include "Core/Plan/AudioMix.hpp"

namespace korvel {

PlanGainPoint PlanGainPoint::decode(const JSONReader& in) {
    PlanGainPoint p;
    in.read("outUs", p.outUs);
    in.read("gainDb", p.gainDb);
    return p;
}

void PlanGainPoint::encode(JSONWriter& out) const {
    out.write("outUs", outUs);
    out.write("gainDb", gainDb);
}

GeneratedAudio GeneratedAudio::decode(const JSONReader& in) {
    GeneratedAudio g;
    in.read("recipe", g.recipe);
    in.read("seed", g.seed);
    return g;
}

void GeneratedAudio::encode(JSONWriter& out) const {
    out.write("recipe", recipe);
    out.write("seed", seed);
}

AudioIsolation AudioIsolation::decode(const JSONReader& in) {
    AudioIsolation i;
    in.read("wet", i.wet);
    return i;
}

void AudioIsolation::encode(JSONWriter& out) const { out.write("wet", wet); }

AudioTrack AudioTrack::decode(const JSONReader& in) {
    AudioTrack t;
    in.read("id", t.id);
    in.read("role", t.role);
    in.read("assetId", t.assetId);
    in.read("generated", t.generated);
    in.read("srcStartUs", t.srcStartUs);
    in.read("srcEndUs", t.srcEndUs);
    in.read("outStartUs", t.outStartUs);
    in.read("outEndUs", t.outEndUs);
    in.read("speed", t.speed);
    // Refused like a segment's: the mix would otherwise play it at speed 1.
    in.requirePositiveFinite("speed", t.speed);
    in.read("gain", t.gain);
    in.read("isolation", t.isolation);
    return t;
}

void AudioTrack::encode(JSONWriter& out) const {
    out.write("id", id);
    out.write("role", role);
    out.write("assetId", assetId);
    out.write("generated", generated);
    out.write("srcStartUs", srcStartUs);
    out.write("srcEndUs", srcEndUs);
    out.write("outStartUs", outStartUs);
    out.write("outEndUs", outEndUs);
    out.write("speed", speed);
    out.write("gain", gain);
    out.write("isolation", isolation);
}

AudioMix AudioMix::decode(const JSONReader& in) {
    AudioMix m;
    in.read("tracks", m.tracks);
    in.read("targetLufs", m.targetLufs);
    in.read("truePeakDb", m.truePeakDb);
    return m;
}

void AudioMix::encode(JSONWriter& out) const {
    out.write("tracks", tracks);
    out.write("targetLufs", targetLufs);
    out.write("truePeakDb", truePeakDb);
}

} // namespace korvel
