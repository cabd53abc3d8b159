#include "Core/Wire/AudioMixResultModel.hpp"

#include <cmath>

namespace korvel {

AudioMixResultModel::AudioMixResultModel(std::string path, int64_t byteLength, int64_t durationUs,
                                         double integratedLufs, double truePeakDb, bool reachedTarget)
    : path(std::move(path)), byteLength(byteLength), durationUs(durationUs),
      integratedLufs(WireNumber::db(integratedLufs)), truePeakDb(WireNumber::db(truePeakDb)),
      reachedTarget(reachedTarget) {}

AudioMixResultModel AudioMixResultModel::decode(const JSONReader& in) {
    AudioMixResultModel m;
    in.read("path", m.path);
    in.read("byteLength", m.byteLength);
    in.read("durationUs", m.durationUs);
    in.read("integratedLufs", m.integratedLufs);
    in.read("truePeakDb", m.truePeakDb);
    in.read("reachedTarget", m.reachedTarget);
    return m;
}

void AudioMixResultModel::encode(JSONWriter& out) const {
    out.write("path", path);
    out.write("byteLength", byteLength);
    out.write("durationUs", durationUs);
    out.write("integratedLufs", integratedLufs);
    out.write("truePeakDb", truePeakDb);
    out.write("reachedTarget", reachedTarget);
}

} // namespace korvel
