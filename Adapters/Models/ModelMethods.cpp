#include "Adapters/Models/ModelMethods.hpp"

#include "Core/Wire/ModelsResultModel.hpp"

namespace korvel::ModelMethods {

InstallParams InstallParams::decode(const JSONReader& in) {
    InstallParams p;
    in.read("ids", p.ids);
    return p;
}

void InstallParams::encode(JSONWriter& out) const { out.write("ids", ids); }

JSONValue status(const ModelStore& store) {
    const ModelStore::Status status = store.status();
    ModelsResultModel result;
    for (const ModelStore::Status::Model& m : status.models) {
        result.models.push_back({m.id, m.installed, m.downloadable, m.byteLength, m.license});
    }
    result.ready = ModelsResultModel::readyOf(result.models);
    result.lastError = status.lastError;
    return encoding(result);
}

JSONValue install(ModelStore& store, const JSONValue& params, const JobContext& job) {
    // Null params are no object: refused like any other, never "install all".
    const InstallParams decodedParams = decoded<InstallParams>(params);
    store.install(decodedParams.ids, job);
    return status(store);
}

} // namespace korvel::ModelMethods
