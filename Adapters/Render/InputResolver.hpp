#pragma once

#include "Core/Jobs.hpp"
#include "Core/Render/EngineSource.hpp"
#include "Core/Render/RenderPlan.hpp"
#include "Core/Render/ResolvedTimeline.hpp"

#include <map>
#include <string>

namespace korvel {

// How the inputs of a render are checked and how their failures reach the
// client.
namespace InputResolver {

// -32602 for the first asset (by id) that the plan lists in assetContent and
// whose source holds other content; ids it does not list are not compared.
void checkContent(const RenderPlan& plan, const std::map<std::string, EngineSource, std::less<>>& sources);

// The client's sentence for a timeline that can't be built.
EngineFailure failure(const TimelineError& error);

} // namespace InputResolver
} // namespace korvel
