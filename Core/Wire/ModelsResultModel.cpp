#include "Core/Wire/ModelsResultModel.hpp"

namespace korvel {

ModelStatusModel ModelStatusModel::decode(const JSONReader& in) {
    ModelStatusModel m;
    in.read("id", m.id);
    in.read("installed", m.installed);
    in.read("downloadable", m.downloadable);
    in.read("byteLength", m.byteLength);
    in.read("license", m.license);
    return m;
}

void ModelStatusModel::encode(JSONWriter& out) const {
    out.write("id", id);
    out.write("installed", installed);
    out.write("downloadable", downloadable);
    out.write("byteLength", byteLength);
    out.write("license", license);
}

ModelsResultModel ModelsResultModel::decode(const JSONReader& in) {
    ModelsResultModel m;
    in.read("models", m.models);
    in.read("ready", m.ready);
    in.read("lastError", m.lastError);
    return m;
}

void ModelsResultModel::encode(JSONWriter& out) const {
    out.write("models", models);
    out.write("ready", ready);
    out.write("lastError", lastError);
}

bool ModelsResultModel::readyOf(const std::vector<ModelStatusModel>& models) {
    for (const ModelStatusModel& m : models)
        if (!m.installed) return false;
    return true;
}

} // namespace korvel
