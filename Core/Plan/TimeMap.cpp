#include "Core/Plan/TimeMap.hpp"

namespace korvel {

TimeMapEntry TimeMapEntry::decode(const JSONReader& in) {
    TimeMapEntry e;
    in.read("assetId", e.assetId);
    in.read("srcStartUs", e.srcStartUs);
    in.read("srcEndUs", e.srcEndUs);
    in.read("outStartUs", e.outStartUs);
    in.read("outEndUs", e.outEndUs);
    in.read("speed", e.speed);
    return e;
}

void TimeMapEntry::encode(JSONWriter& out) const {
    out.write("assetId", assetId);
    out.write("srcStartUs", srcStartUs);
    out.write("srcEndUs", srcEndUs);
    out.write("outStartUs", outStartUs);
    out.write("outEndUs", outEndUs);
    out.write("speed", speed);
}

TimeMap TimeMap::decode(const JSONReader& in) {
    TimeMap t;
    in.read("entries", t.entries);
    return t;
}

void TimeMap::encode(JSONWriter& out) const { out.write("entries", entries); }

} // namespace korvel
