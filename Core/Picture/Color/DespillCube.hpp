#pragma once

#include <memory>
#include <vector>

namespace korvel {

// The 33-point cube that limits green to the larger of red and blue; the
// identity otherwise. Built once per process.
namespace DespillCube {
constexpr int dimension = 33;
std::shared_ptr<const std::vector<float>> values();
} // namespace DespillCube

} // namespace korvel
