#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace korvel::KernelChecks {

// A vector kernel against its scalar reference: within 1e-5, relative where
// values are large; NaN only where the reference gives NaN. At most five
// differences are reported.
inline void expectClose(const std::vector<float>& got, const std::vector<float>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size());
    int reported = 0;
    for (size_t i = 0; i < got.size() && reported < 5; ++i) {
        float g = got[i], w = want[i];
        bool same = (std::isnan(g) && std::isnan(w)) || g == w ||
                    (std::isfinite(w) && std::fabs(g - w) <= 1e-5f * std::max(1.0f, std::fabs(w)));
        if (!same) {
            ADD_FAILURE() << what << ", value " << i << ": " << g << " where the reference gives " << w;
            ++reported;
        }
    }
}

} // namespace korvel::KernelChecks
