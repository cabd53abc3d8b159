// The name a message gives a file, whatever separators its path ends in.

#include "Adapters/Files/FileName.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(FileName, LastComponentAsWritten) {
    const struct {
        const char* path;
        const char* name;
    } cases[] = {
        {"clip.mov", "clip.mov"},
        {"/media/take 2/clip.mov", "clip.mov"},
        {"/media/take 2/", "take 2"},
        {"/media/take 2//", "take 2"},
        {"take/", "take"},
        {"/media/..", ".."},
        {"/media/./", "."},
        {"/", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(nameOf(c.path), c.name) << c.path;
}
