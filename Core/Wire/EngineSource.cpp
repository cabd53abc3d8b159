#include "Core/Wire/EngineSource.hpp"

namespace korvel {

EngineSource EngineSource::decode(const JSONReader& in) {
    EngineSource s;
    in.read("path", s.path);
    in.read("contentHash", s.contentHash);
    return s;
}

void EngineSource::encode(JSONWriter& out) const {
    out.write("path", path);
    out.write("contentHash", contentHash);
}

MatteRef MatteRef::decode(const JSONReader& in) {
    MatteRef m;
    in.read("assetId", m.assetId);
    in.read("path", m.path);
    in.read("greenScreen", m.greenScreen);
    return m;
}

void MatteRef::encode(JSONWriter& out) const {
    out.write("assetId", assetId);
    out.write("path", path);
    out.write("greenScreen", greenScreen);
}

} // namespace korvel
