#pragma once

#include "Adapters/Render/RenderInputs.hpp"
#include "Adapters/Render/SourceLibrary.hpp"
#include "Core/Jobs.hpp"
#include "Core/Render/EngineSource.hpp"
#include "Core/Render/RenderPlan.hpp"
#include "Core/Render/ResolvedTimeline.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

// Turns a request's plan and files into the inputs of one render: the
// variant to draw, its timeline, every picture opened and checked against
// what the client declared. Every sentence about a missing, changed or
// unreadable input comes from here.
struct InputResolver {
    using SourceMap = std::map<std::string, EngineSource>;
    using MatteMap = std::map<std::string, MatteRef>;

    std::shared_ptr<SourceLibrary> library;
    std::shared_ptr<TextCaches> text;

    // Throws EngineFailure; the library's failures pass through.
    RenderInputs resolve(const RenderPlan& plan, const std::optional<SourceMap>& sources,
                         const std::optional<MatteMap>& mattes, RenderVariant variant, RenderSize size,
                         ColorRecipe recipe) const;

    // Whether a path names a still picture by its extension.
    static bool isStill(const std::filesystem::path& path);

    // -32602 for the first asset (by id) that the plan lists in assetContent and
    // whose source holds other content; ids it does not list are not compared.
    static void checkContent(const RenderPlan& plan, const std::map<std::string, EngineSource, std::less<>>& sources);

    // The client's sentence for a timeline that can't be built.
    static EngineFailure failure(const TimelineError& error);
};

} // namespace korvel
