#include "Core/CodecThreads.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;

TEST(CodecThreads, RendersShareTheCoresAndOneAloneKeepsTheLibrarysChoice) {
    struct Case {
        int cores, running, least;
        std::optional<int64_t> frames;
        int expected;
    };
    const int library = CodecThreads::libraryChoice;
    std::vector<Case> cases{
        {8, 1, 2, std::nullopt, library},
        {8, 0, 2, std::nullopt, library}, // work outside the gates counts as alone
        {8, 2, 2, std::nullopt, 4},
        {8, 3, 2, std::nullopt, 2}, // 8 / 3 rounds down
        {8, 4, 2, std::nullopt, 2},
        {8, 8, 2, std::nullopt, 2}, // never below the floor
        {8, 8, 1, std::nullopt, 1},
        {8, 8, 0, std::nullopt, 1}, // never no thread at all
        {16, 4, 2, std::nullopt, 4},
        {1, 4, 2, std::nullopt, 2},
        {0, 1, 2, std::nullopt, library}, // cores unknown
        // Frame threads beyond the frames to bring out only hold pictures.
        {8, 1, 2, 3, 3},
        {8, 1, 2, 8, library},
        {8, 1, 2, 0, 1},
        {8, 2, 2, 3, 3},
        {8, 2, 2, 1, 1},
        {8, 2, 2, 100, 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CodecThreads::count(c.cores, c.running, c.least, c.frames), c.expected)
            << c.cores << " cores, " << c.running << " running, at least " << c.least << ", frames "
            << (c.frames ? std::to_string(*c.frames) : "open");
    }
}
