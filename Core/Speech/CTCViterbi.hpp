#pragma once

#include "Core/Speech/CTCVocabulary.hpp"
#include "Core/Speech/EmissionModel.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvel {

namespace CTCViterbi {
// The frame of every token on the best path where each token takes exactly one
// frame and every other frame is blank; nothing when no such path exists.
std::optional<std::vector<int64_t>> align(const CTCEmissions& emissions, std::span<const int> ids, int blank);
// The best-path text: repeats and blanks collapsed, trimmed, upper case.
std::string greedy(const CTCEmissions& emissions, const CTCVocabulary& vocabulary);
} // namespace CTCViterbi

} // namespace korvel
