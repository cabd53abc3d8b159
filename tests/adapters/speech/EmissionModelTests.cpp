#include "Adapters/Models/InstalledSpeechModels.hpp"
#include "Adapters/Speech/OnnxEmissionModel.hpp"

#include "tests/support/SpeechModels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>

#include <unistd.h>

namespace korvel {
namespace {

namespace fs = std::filesystem;

fs::path packageOf(const std::string& model, const std::string& name) {
    const fs::path package = fs::path(KORVEL_TEST_TMP) / "emission" / name / "w2v.mlpackage";
    fs::remove_all(package.parent_path());
    fs::create_directories(package);
    fs::copy_file(SpeechModels::path(model), package / "model.onnx");
    return package;
}

// A compiled model shared by the tests of one process; each process has its own
// folder, since CTest runs these tests side by side.
OnnxEmissionModel& compiled(const std::string& model) {
    static std::map<std::string, std::unique_ptr<OnnxEmissionModel>> models;
    auto& slot = models[model];
    if (!slot) {
        const fs::path package = packageOf(model, model + "-package-" + std::to_string(::getpid()));
        const fs::path into = package.parent_path() / "compiled";
        fs::create_directories(into);
        OnnxEmissionModel::compile(package, into);
        slot = std::make_unique<OnnxEmissionModel>(into);
    }
    return *slot;
}

TEST(OnnxEmissionModel, FramesAreWhatRealSoundFills) {
    OnnxEmissionModel& model = compiled("emission.onnx");
    struct Case {
        size_t samples;
        int64_t frames;
    };
    for (const Case& c : std::vector<Case>{{0, 0}, {319, 0}, {320, 1}, {14 * 16'000, 700}, {300'000, 750}}) {
        std::vector<float> samples(c.samples);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = std::sin(static_cast<float>(i) * 0.05f);
        const CTCEmissions e = model.logProbabilities(samples, 0);
        EXPECT_EQ(e.frames, c.frames) << c.samples;
        EXPECT_EQ(e.vocabulary, 32) << c.samples;
        EXPECT_EQ(e.values.size(), static_cast<size_t>(c.frames * 32)) << c.samples;
    }
    // Log-probabilities: each frame's letters sum to one.
    std::vector<float> samples(16'000, 0.25f);
    samples[100] = -0.5f;
    const CTCEmissions e = model.logProbabilities(samples, 0);
    double sum = 0;
    for (int64_t v = 0; v < e.vocabulary; ++v) sum += std::exp(static_cast<double>(e.values[static_cast<size_t>(v)]));
    EXPECT_NEAR(sum, 1.0, 1e-4);
}

TEST(OnnxEmissionModel, InputIsNormalisedAndPadded) {
    const std::vector<float> constant(1000, 0.7f);
    for (float x : OnnxEmissionModel::input(constant)) EXPECT_EQ(x, 0.0f);
    const std::vector<float> two{1.0f, 3.0f};
    const std::vector<float> in = OnnxEmissionModel::input(two);
    ASSERT_EQ(in.size(), 240'000u);
    EXPECT_FLOAT_EQ(in[0], -1.0f);
    EXPECT_FLOAT_EQ(in[1], 1.0f);
    EXPECT_EQ(in[2], 0.0f);
    // Beyond 15 s nothing counts, not even for the statistics.
    std::vector<float> longer(300'000, 0.0f);
    longer[0] = 1.0f;
    longer[250'000] = 1000.0f;
    const std::vector<float> cut = OnnxEmissionModel::input(longer);
    EXPECT_NEAR(cut[0], std::sqrt(239'999.0), 1e-1);
}

TEST(OnnxEmissionModel, HalfPrecisionOutputReadsAsTheSameValues) {
    std::vector<float> samples(32'000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = std::sin(static_cast<float>(i) * 0.01f);
    const CTCEmissions full = compiled("emission.onnx").logProbabilities(samples, 0);
    const CTCEmissions half = compiled("emission-f16.onnx").logProbabilities(samples, 0);
    ASSERT_EQ(full.frames, half.frames);
    for (size_t i = 0; i < full.values.size(); ++i) EXPECT_NEAR(full.values[i], half.values[i], 0.02) << i;
}

TEST(OnnxEmissionModel, AnOutputOfTwoDimensionsIsAnUnexpectedShape) {
    std::vector<float> samples(16'000, 0.1f);
    try {
        compiled("emission-flat.onnx").logProbabilities(samples, 0);
        FAIL();
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.code, -32603);
        EXPECT_EQ(f.message, "The alignment model returned an unexpected shape.");
    }
}

TEST(OnnxEmissionModel, AMissingCompiledModelFailsToLoad) {
    try {
        OnnxEmissionModel model(fs::path(KORVEL_TEST_TMP) / "emission" / "nowhere");
        FAIL();
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.code, -32603);
        EXPECT_EQ(f.message.rfind("Could not load the alignment model: ", 0), 0u) << f.message;
    }
}

TEST(AlignerCache, CompilesOnceUnderTheChecksumAndKeepsTheModel) {
    const fs::path package = packageOf("emission.onnx", "cache");
    const fs::path folder = package.parent_path() / "compiled";
    const std::string sha(64, 'a');
    AlignerCache cache(folder);
    auto first = cache.model(package, sha);
    EXPECT_TRUE(fs::is_regular_file(folder / (sha + ".mlmodelc") / "model.ort"));
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{sha + ".mlmodelc"}); // no temporary folder left
    fs::remove_all(package);
    EXPECT_EQ(cache.model(package, sha), first); // kept: the disk is not asked again

    // A later process loads the compiled form without the package.
    AlignerCache later(folder);
    EXPECT_NE(later.model(package, sha), nullptr);
}

TEST(AlignerCache, AHalfWrittenCompiledModelIsMadeAgain) {
    const fs::path package = packageOf("emission.onnx", "repair");
    const fs::path folder = package.parent_path() / "compiled";
    const std::string sha(64, 'b');
    fs::create_directories(folder / (sha + ".mlmodelc"));
    std::ofstream(folder / (sha + ".mlmodelc") / "model.ort") << "cut short";
    AlignerCache cache(folder);
    auto model = cache.model(package, sha);
    ASSERT_NE(model, nullptr);
    std::vector<float> samples(16'000, 0.1f);
    EXPECT_EQ(model->logProbabilities(samples, 0).frames, 50);
}

} // namespace
} // namespace korvel
