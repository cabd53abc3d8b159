#pragma once

#include "Adapters/Models/ModelStore.hpp"
#include "Core/JSONValue.hpp"
#include "Core/Wire/Contract.hpp"

#include <optional>
#include <string>
#include <vector>

namespace korvel {

// What models.status and models.install answer.
namespace ModelMethods {

struct InstallParams {
    std::optional<std::vector<std::string>> ids;

    bool operator==(const InstallParams&) const = default;
    static InstallParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

JSONValue status(const ModelStore& store);
// Decodes the params, installs, then answers the status.
JSONValue install(ModelStore& store, const JSONValue& params, const JobContext& job);

} // namespace ModelMethods
} // namespace korvel
