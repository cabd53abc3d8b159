#pragma once

#include <vector>

namespace korvel {

// A synthetic buzzing voice (three formants, four syllables a second) whose
// delay through the isolation unit can always be measured.
namespace CalibrationVoice {
std::vector<float> samples();
} // namespace CalibrationVoice

} // namespace korvel
