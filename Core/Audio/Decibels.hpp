#pragma once

namespace korvel {

// Level conversions shared by every DSP step, all in double precision.
namespace Decibels {
double fromPower(double power);
// `floor` when power ≤ 0, else never below it.
double fromPower(double power, double floor);
double fromAmplitude(double amplitude);
double fromAmplitude(double amplitude, double floor);
double power(double db);
float linear(double db);
} // namespace Decibels

} // namespace korvel
