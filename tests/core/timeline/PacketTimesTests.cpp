#include "Core/Timeline/PacketTimes.hpp"
#include "Core/Time.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <set>

using namespace korvel;
using Packet = PacketTimes::Packet;
using Timed = PacketTimes::Timed;

namespace {

constexpr std::optional<int64_t> none = std::nullopt;

struct Case {
    const char* name;
    std::vector<Packet> packets;
    std::vector<Timed> expected;
};

} // namespace

TEST(PacketTimes, CleanTimesAsASampleTableHoldsThem) {
    const std::vector<Case> cases{
        {"a late start moves to zero",
         {{1000, 1000, 10}, {1010, 1010, 10}, {1020, 1020, 10}},
         {{0, 0, 10}, {10, 10, 10}, {20, 20, 10}}},
        {"reordered frames keep their order and the earliest shows at zero",
         {{20, 0, 10}, {50, 10, 10}, {30, 20, 10}, {40, 30, 10}},
         {{-20, 0, 10}, {-10, 30, 10}, {0, 10, 10}, {10, 20, 10}}},
        {"a missing presentation time is the decode time",
         {{0, 0, 10}, {none, 10, 10}, {20, 20, 10}},
         {{0, 0, 10}, {10, 10, 10}, {20, 20, 10}}},
        {"a missing presentation time keeps the delay of the last timed packet",
         {{10, 0, 10}, {none, 10, 10}, {none, 20, 10}},
         {{-10, 0, 10}, {0, 10, 10}, {10, 20, 10}}},
        {"without either time a packet follows the one before",
         {{0, 0, 10}, {none, none, 10}, {20, 20, 10}},
         {{0, 0, 10}, {10, 10, 10}, {20, 20, 10}}},
        {"missing decode times come from the sorted presentation times",
         {{0, none, 10}, {30, none, 10}, {10, none, 10}, {20, none, 10}},
         {{-10, 0, 10}, {0, 30, 10}, {10, 10, 10}, {20, 20, 10}}},
        {"a repeated time moves the packet and those after it a frame on",
         {{0, 0, 10}, {10, 10, 10}, {10, 10, 10}, {20, 20, 10}},
         {{0, 0, 10}, {10, 10, 10}, {20, 20, 10}, {30, 30, 10}}},
        {"a clock that starts over goes on a frame after the last",
         {{0, 0, 10}, {10, 10, 10}, {0, 0, 10}, {10, 10, 10}},
         {{0, 0, 10}, {10, 10, 10}, {20, 20, 10}, {30, 30, 10}}},
        {"a time that goes back without a length goes on a tick after the last",
         {{0, 0, 0}, {10, 10, 0}, {5, 5, 0}},
         {{0, 0, 10}, {10, 10, 1}, {11, 11, 5}}},
        {"a frame shown before it is decoded is shown when decoded",
         {{0, 0, 10}, {5, 10, 10}, {20, 20, 10}},
         {{0, 0, 10}, {10, 10, 10}, {20, 20, 10}}},
        {"without its own length the last frame lasts the mean one",
         {{0, 0, 0}, {10, 10, 0}, {30, 30, 0}},
         {{0, 0, 10}, {10, 10, 20}, {30, 30, 15}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PacketTimes::clean(c.packets), c.expected) << c.name;
    }
}

TEST(PacketTimes, CleanTimesAreStrictlyOrderedAndUnique) {
    // Times as damaged streams give them: repeats, jumps both ways, gaps.
    std::vector<Packet> packets;
    const int64_t raw[] = {900, 900, 880, 1000, 100, 100, 5000, 4000, 4000, 4001};
    for (int64_t t : raw) packets.push_back({t, t - 1, 3});
    packets.push_back({none, none, 0});
    auto cleaned = PacketTimes::clean(packets);
    ASSERT_EQ(cleaned.size(), packets.size());
    std::set<int64_t> shown;
    int64_t first = INT64_MAX;
    for (size_t i = 0; i < cleaned.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(cleaned[i].decode, cleaned[i - 1].decode) << i;
        }
        EXPECT_GE(cleaned[i].presentation, cleaned[i].decode) << i;
        EXPECT_GT(cleaned[i].duration, 0) << i;
        EXPECT_TRUE(shown.insert(cleaned[i].presentation).second) << i;
        first = std::min(first, cleaned[i].presentation);
    }
    EXPECT_EQ(first, 0);
}

TEST(PacketTimes, TheFirstShownTimeIsTheOneMovedToZero) {
    const struct {
        const char* name;
        std::vector<Packet> packets;
        int64_t expected;
    } cases[] = {
        {"a late start", {{1000, 1000, 10}, {1010, 1010, 10}}, 1000},
        {"reordered frames: the earliest shown, not the first decoded", {{20, 0, 10}, {50, 10, 10}, {30, 20, 10}}, 20},
        {"a negative start", {{-30, -40, 10}, {-20, -30, 10}}, -30},
        {"a clock that starts over goes on after the first recording", {{500, 500, 10}, {510, 510, 10}, {0, 0, 10}}, 500},
        {"a frame shown before it is decoded", {{5, 10, 10}, {20, 20, 10}}, 10},
        {"missing decode times", {{40, none, 10}, {20, none, 10}, {30, none, 10}}, 20},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PacketTimes::firstShown(c.packets), c.expected) << c.name;
    }
}

TEST(PacketTimes, NoPacketsNoTimes) {
    EXPECT_TRUE(PacketTimes::clean({}).empty());
    EXPECT_FALSE(PacketTimes::firstShown({}));
}

TEST(PacketTimes, TimesThatLeaveSixtyFourBitsAreRefused) {
    EXPECT_THROW(PacketTimes::clean({{INT64_MIN + 1, INT64_MIN + 1, 0}, {INT64_MAX, INT64_MAX, 0}}), TimeOverflow);
}
