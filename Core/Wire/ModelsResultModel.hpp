#pragma once

#include "Core/Wire/Contract.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// One catalogue model as the client sees it.
struct ModelStatusModel {
    std::string id;
    bool installed = false;
    bool downloadable = false;
    int64_t byteLength = 0;
    std::string license;

    bool operator==(const ModelStatusModel&) const = default;
    static ModelStatusModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// The answer of models.status and models.install.
struct ModelsResultModel {
    std::vector<ModelStatusModel> models;
    bool ready = true;
    std::optional<std::string> lastError;

    bool operator==(const ModelsResultModel&) const = default;
    static ModelsResultModel decode(const JSONReader& in);
    void encode(JSONWriter& out) const;

    // True while every row is installed; an empty list is ready.
    static bool readyOf(const std::vector<ModelStatusModel>& models);
};

} // namespace korvel
