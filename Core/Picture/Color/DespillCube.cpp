#include "Core/Picture/Color/DespillCube.hpp"

#include <algorithm>

namespace korvel {

std::shared_ptr<const std::vector<float>> DespillCube::values() {
    static const std::shared_ptr<const std::vector<float>> cube = [] {
        auto v = std::make_shared<std::vector<float>>(static_cast<size_t>(dimension * dimension * dimension * 4));
        size_t at = 0;
        for (int ib = 0; ib < dimension; ++ib)
            for (int ig = 0; ig < dimension; ++ig)
                for (int ir = 0; ir < dimension; ++ir) {
                    float r = static_cast<float>(ir) / 32.0f, g = static_cast<float>(ig) / 32.0f,
                          b = static_cast<float>(ib) / 32.0f;
                    (*v)[at++] = r;
                    (*v)[at++] = std::min(g, std::max(r, b));
                    (*v)[at++] = b;
                    (*v)[at++] = 1.0f;
                }
        return v;
    }();
    return cube;
}

} // namespace korvel
