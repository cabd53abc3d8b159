#include "Adapters/Render/InputResolver.hpp"

#include <gtest/gtest.h>

using namespace korvel;

TEST(InputResolver, TimelineFailuresInTheClientsWords) {
    EXPECT_EQ(InputResolver::failure(TimelineError::missingSource("a1")),
              (EngineFailure{-32602, "The render needs a source for asset a1."}));
    EXPECT_EQ(InputResolver::failure(TimelineError::emptySource("b2")),
              (EngineFailure{-32002, "Asset b2 has no frames that can be shown."}));
}

TEST(InputResolver, OnlyListedAssetsAreComparedWithTheirSources) {
    RenderPlan plan;
    std::map<std::string, EngineSource, std::less<>> sources{
        {"a", {"/m/a.mp4", "aaaa"}}, {"b", {"/m/b.mp4", "bbbb"}}, {"c", {"/m/c.mp4", "cccc"}}};
    EXPECT_NO_THROW(InputResolver::checkContent(plan, sources)); // a plan without assetContent
    plan.assetContent = std::map<std::string, std::string>{{"a", "aaaa"}, {"missing", "ffff"}};
    EXPECT_NO_THROW(InputResolver::checkContent(plan, sources));
    plan.assetContent = std::map<std::string, std::string>{{"a", "aaaa"}, {"c", "0000"}, {"b", "0000"}};
    try {
        InputResolver::checkContent(plan, sources);
        ADD_FAILURE() << "other content passed";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, (EngineFailure{-32602, "Asset b holds other content than this plan was compiled from."}));
    }
}
