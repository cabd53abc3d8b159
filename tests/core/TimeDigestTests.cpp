#include "Core/Digest.hpp"
#include "Core/Time.hpp"

#include <gtest/gtest.h>

using namespace korvel;
namespace Us = korvel::Microseconds;

TEST(Microseconds, RoundingRules) {
    EXPECT_EQ(Us::frames(250000, 2), 1);
    EXPECT_EQ(Us::frames(-250000, 2), -1);
    EXPECT_EQ(Us::ticks(5, 100000), 1);
    EXPECT_EQ(Us::ofFrames(1, 24), 41667);
    EXPECT_EQ(Us::wholeOfFrames(1, 24), 41666);
    EXPECT_EQ(Us::frames(41666, 24), 1);
    EXPECT_EQ(Us::wholeFrames(41666, 24), 0);
    EXPECT_EQ(Us::wholeTicks(-1, 90000), 0);
    EXPECT_EQ(Us::wholeOfSeconds(1.9999999), 1999999);
    EXPECT_EQ(Us::of(1.9999999), 2000000);
    EXPECT_EQ(Us::ofTicks(3003, 90000), 33367);
}

TEST(Microseconds, ExactProductsDoNotOverflow) {
    // 2^62 µs × 90000 overflows 64 bits on the way but not in the result.
    EXPECT_EQ(Us::mulDiv(INT64_MAX / 4, 90000, 90000), INT64_MAX / 4);
    EXPECT_EQ(Us::wholeTicks(INT64_MAX, 90000), INT64_MAX / 1000000 * 90000 + (INT64_MAX % 1000000) * 90000 / 1000000);
    EXPECT_THROW(Us::wholeOfFrames(INT64_MAX / 2, 30), TimeOverflow);
    EXPECT_THROW(Us::of(1e300), TimeOverflow);
}

TEST(Digest, Sha256OfText) {
    EXPECT_EQ(Digest::sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest::sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const unsigned char bytes[] = {0x00, 0x0f, 0xab};
    EXPECT_EQ(Digest::hex(bytes), "000fab");
}
