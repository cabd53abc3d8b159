#include "Core/Audio/Decibels.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::Decibels {

double fromPower(double power) { return 10.0 * std::log10(power); }

double fromPower(double power, double floor) {
    if (!(power > 0)) return floor;
    return std::max(floor, 10.0 * std::log10(power));
}

double fromAmplitude(double amplitude) { return 20.0 * std::log10(amplitude); }

double fromAmplitude(double amplitude, double floor) {
    if (!(amplitude > 0)) return floor;
    return std::max(floor, 20.0 * std::log10(amplitude));
}

double power(double db) { return std::pow(10.0, db / 10.0); }

float linear(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }

} // namespace korvel::Decibels
