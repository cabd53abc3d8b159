#include "Adapters/Render/Sources/InputResolver.hpp"

#include <fstream>
#include <unistd.h>

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

#include "Adapters/Files/FileDigest.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"

namespace {

std::string seg(const std::string& asset) {
    return R"({"assetId":")" + asset + R"(","srcStartUs":0,"srcEndUs":500000,"outStartUs":0,"outEndUs":500000,"speed":1.0,)"
           R"("transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null})";
}

RenderPlan planOf(const std::string& segments, const std::string& overlays = "[]", const std::string& background = "null",
                  const std::string& content = "") {
    std::string text = R"({"version":1,"canvas":{"format":"horizontal","width":320,"height":240,"fps":{"num":30,"den":1}},)"
                       R"("segments":[)" + segments + R"(],"videoOverlays":)" + overlays +
                       R"(,"textItems":[],"colorStack":[],"background":)" + background +
                       R"(,"audioMix":{"tracks":[],"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":500000)" +
                       content + "}";
    return decoded<RenderPlan>(JSONValue::parsing(text));
}

std::string overlay(const std::string& asset, const std::string& key) {
    return R"({"id":"o","role":"layout","assetId":")" + asset + R"(","srcStartUs":0,"srcEndUs":500000,"outStartUs":0,)"
           R"("outEndUs":500000,"rect":{"x":0,"y":0,"w":0.5,"h":0.5},"opacity":1,"matteKey":")" + key + "\"}";
}

} // namespace

TEST(InputResolver, EverySentenceInTheOrderOfTheChecks) {
    namespace fs = std::filesystem;
    fs::path movie = MediaFixtures::path("plain.mp4"), still = MediaFixtures::path("still.png");
    fs::path dir = fs::path(KORVEL_TEST_TMP) / ("resolver-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path fake = dir / "words.png";
    std::ofstream(fake) << "not a picture\n";
    auto library = std::make_shared<SourceLibrary>();
    InputResolver resolver{library, std::make_shared<TextCaches>()};
    std::string movieHash = FileDigest::sha256(movie);
    InputResolver::SourceMap sources{{"a", {movie.string(), movieHash}},
                                     {"s", {still.string(), FileDigest::sha256(still)}},
                                     {"w", {fake.string(), FileDigest::sha256(fake)}},
                                     {"x", {movie.string(), std::string(64, '0')}}};
    auto failure = [&](const RenderPlan& plan, const std::optional<InputResolver::SourceMap>& src,
                       const std::optional<InputResolver::MatteMap>& mattes = std::nullopt) {
        try {
            resolver.resolve(plan, src, mattes, RenderVariant::after, {320, 240}, ColorRecipe{});
        } catch (const EngineFailure& f) {
            return f;
        }
        return EngineFailure{0, "resolved"};
    };
    using F = EngineFailure;
    // "b" and "a" both missing: "a" is checked first.
    EXPECT_EQ(failure(planOf(seg("b") + "," + seg("zz")), sources), (F{-32602, "The render needs a source for asset b."}));
    EXPECT_EQ(failure(planOf(seg("a")), std::nullopt), (F{-32602, "The render needs a source for asset a."}));
    EXPECT_EQ(failure(planOf(seg("a"), "[]", "null", R"(,"assetContent":{"a":"1234"})"), sources),
              (F{-32602, "Asset a holds other content than this plan was compiled from."}));
    EXPECT_EQ(failure(planOf(seg("x")), sources), (F{-32001, "plain.mp4 changed since it was imported."}));
    EXPECT_EQ(failure(planOf(seg("w")), sources), (F{-32002, "words.png can't be opened as an image."}));
    std::string background = R"({"fill":{"type":"solid","color":"#000000"},"matteKey":"bg","outStartUs":0,"outEndUs":500000})";
    EXPECT_EQ(failure(planOf(seg("a"), "[]", background), sources), (F{-32602, "The background needs the stored mask bg."}));
    EXPECT_EQ(failure(planOf(seg("a"), "[" + overlay("s", "m") + "]"), sources),
              (F{-32602, "The layout needs the stored mask m."}));
    InputResolver::MatteMap mattes{{"m", {"a", movie.string(), std::nullopt}}};
    EXPECT_EQ(failure(planOf(seg("a"), "[" + overlay("s", "m") + "]"), sources, mattes),
              (F{-32602, "The stored mask m is not a mask of asset s."}));

    // The plain cut needs no masks; a still and a video resolve side by side.
    auto inputs = resolver.resolve(planOf(seg("a") + "," + seg("s"), "[" + overlay("a", "m") + "]", background), sources,
                                   std::nullopt, RenderVariant::before, {320, 240}, ColorRecipe{});
    EXPECT_EQ(inputs.videos.count("a"), 1u);
    EXPECT_EQ(inputs.stills.count("s"), 1u);
    EXPECT_FALSE(inputs.matte);
    EXPECT_TRUE(inputs.overlayMattes.empty());
    inputs = resolver.resolve(planOf(seg("a"), "[" + overlay("a", "m") + "," + overlay("a", "m") + "]"), sources, mattes,
                              RenderVariant::after, {320, 240}, ColorRecipe{});
    EXPECT_EQ(inputs.overlayMattes.size(), 1u);
    EXPECT_FALSE(inputs.overlayMattes.at("m").greenScreen);
    fs::remove_all(dir);
}

TEST(InputResolver, HashesLeftRunningFailAsTheChecksInPlace) {
    namespace fs = std::filesystem;
    fs::path movie = MediaFixtures::path("plain.mp4"), cut = MediaFixtures::path("cut.mp4");
    fs::path dir = fs::path(KORVEL_TEST_TMP) / ("resolver-later-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path fake = dir / "words.png", notMovie = dir / "words.mp4";
    std::ofstream(fake) << "not a picture\n";
    std::ofstream(notMovie) << "not a movie\n";
    InputResolver resolver{std::make_shared<SourceLibrary>(), std::make_shared<TextCaches>()};
    const std::string wrong(64, '0');
    InputResolver::SourceMap sources{{"a", {movie.string(), FileDigest::sha256(movie)}},
                                     {"c", {cut.string(), FileDigest::sha256(cut)}},
                                     {"n", {notMovie.string(), FileDigest::sha256(notMovie)}},
                                     {"nx", {notMovie.string(), wrong}},
                                     {"w", {fake.string(), FileDigest::sha256(fake)}},
                                     {"x", {movie.string(), wrong}},
                                     {"y", {fake.string(), FileDigest::sha256(fake)}},
                                     {"zc", {cut.string(), FileDigest::sha256(cut)}}};
    auto outcome = [&](const RenderPlan& plan, bool later) {
        try {
            ContentChecks checks;
            resolver.resolve(plan, sources, std::nullopt, RenderVariant::after, {320, 240}, ColorRecipe{},
                             later ? &checks : nullptr);
            checks.settle();
        } catch (const EngineFailure& f) {
            return f;
        }
        return EngineFailure{0, "resolved"};
    };
    using F = EngineFailure;
    const F changed{-32001, "plain.mp4 changed since it was imported."};
    const F cutShort{-32002, "cut.mp4 is cut short or damaged, so its end can't be read."};
    struct Case {
        std::string segments;
        F expected;
    } cases[] = {
        {seg("a"), F{0, "resolved"}},
        {seg("x"), changed},
        // A failure after a changed source waits for its hash.
        {seg("x") + "," + seg("zz"), changed},
        {seg("x") + "," + seg("y"), changed},
        {seg("w") + "," + seg("x"), F{-32002, "words.png can't be opened as an image."}},
        {seg("nx"), F{-32001, "words.mp4 changed since it was imported."}},
        {seg("n"), F{-32002, "words.mp4 is in a format that can't be opened."}},
        // Sources are checked by id: the earlier one's failure wins.
        {seg("n") + "," + seg("x"), F{-32002, "words.mp4 is in a format that can't be opened."}},
        {seg("a") + "," + seg("zz"), F{-32602, "The render needs a source for asset zz."}},
        // A last frame checked later fails in its source's place.
        {seg("c"), cutShort},
        {seg("c") + "," + seg("x"), cutShort},
        {seg("x") + "," + seg("zc"), changed},
        {seg("c") + "," + seg("zz"), cutShort},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(planOf(c.segments), false), c.expected) << c.segments;
        EXPECT_EQ(outcome(planOf(c.segments), true), c.expected) << c.segments;
    }
    ContentChecks checks;
    resolver.resolve(planOf(seg("x")), sources, std::nullopt, RenderVariant::after, {320, 240}, ColorRecipe{}, &checks);
    for (int again = 0; again < 2; ++again) {
        try {
            checks.settle();
            ADD_FAILURE() << "a changed source settled";
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f, changed);
        }
    }
    fs::remove_all(dir);
}
