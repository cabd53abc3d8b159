#pragma once

#include "Core/Wire/EngineSource.hpp"
#include "Core/Wire/AnalysisKind.hpp"

#include <optional>
#include <string>

namespace korvel {

// The params of analysis.run and analysis.known. Only types are checked
// here; kind, language and hints are checked where they are used.
struct AnalysisParams {
    std::string assetId;
    EngineSource source;
    RequestedKind kind;
    std::optional<std::string> language;
    std::optional<std::string> heardAs;
    std::optional<std::string> priority;

    // "background" exactly, in this case.
    bool isBackground() const;

    bool operator==(const AnalysisParams&) const = default;
    static AnalysisParams decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
