#include "Adapters/Speech/OnnxEmissionModel.hpp"

#include "Adapters/Files/CacheFile.hpp"
#include "Core/Jobs.hpp"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace korvel {

namespace {

// One runtime environment per process; its log is dropped (stderr carries
// only the engine's own lines).
Ort::Env& environment() {
    static Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "korvel-engine",
                        [](void*, OrtLoggingLevel, const char*, const char*, const char*, const char*) {}, nullptr);
    return env;
}

bool hasName(const Ort::Session& session, std::string_view name, bool input) {
    Ort::AllocatorWithDefaultOptions allocator;
    const size_t count = input ? session.GetInputCount() : session.GetOutputCount();
    for (size_t i = 0; i < count; ++i) {
        const auto held = input ? session.GetInputNameAllocated(i, allocator) : session.GetOutputNameAllocated(i, allocator);
        if (held && name == held.get()) return true;
    }
    return false;
}

EngineFailure unexpectedShape() { return EngineFailure::internalError("The alignment model returned an unexpected shape."); }

} // namespace

struct OnnxEmissionModel::Session {
    Ort::Session session{nullptr};
};

OnnxEmissionModel::OnnxEmissionModel(const std::filesystem::path& compiledURL) : session_(std::make_unique<Session>()) {
    try {
        Ort::SessionOptions options;
        options.SetIntraOpNumThreads(intraOpThreads);
        options.SetInterOpNumThreads(1);
        options.AddConfigEntry("session.load_model_format", "ORT");
        // Workers that spin between operators starve each other beside a busy editor.
        options.AddConfigEntry("session.intra_op.allow_spinning", "0");
        const std::filesystem::path file = compiledURL / compiledFileName;
        if (!CacheFile::regularSize(file)) throw EngineFailure::internalError("Could not load the alignment model: no model file.");
        session_->session = Ort::Session(environment(), file.c_str(), options);
        // Checked here, not at the first chunk: a model of another shape is no
        // alignment model at all, and its owner treats it as not installed.
        if (!hasName(session_->session, "audio", true) || !hasName(session_->session, "logp", false))
            throw EngineFailure::internalError("Could not load the alignment model: it has no audio input or no logp output.");
    } catch (const Ort::Exception& e) {
        throw EngineFailure::internalError(std::string("Could not load the alignment model: ") + e.what());
    }
}

OnnxEmissionModel::~OnnxEmissionModel() = default;

const CTCVocabulary& OnnxEmissionModel::vocabulary() const { return CTCVocabulary::wav2vec2English(); }

void OnnxEmissionModel::compile(const std::filesystem::path& package, const std::filesystem::path& into) {
    Ort::SessionOptions options;
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    options.SetIntraOpNumThreads(1);
    options.AddConfigEntry("session.save_model_format", "ORT");
    const std::filesystem::path out = into / compiledFileName;
    options.SetOptimizedModelFilePath(out.c_str());
    const std::filesystem::path model = package / packageFileName;
    if (!CacheFile::regularSize(model)) throw EngineFailure::internalError("Could not compile the alignment model: no model file.");
    try {
        Ort::Session session(environment(), model.c_str(), options);
    } catch (const Ort::Exception& e) {
        throw EngineFailure::internalError(std::string("Could not compile the alignment model: ") + e.what());
    }
}

std::vector<float> OnnxEmissionModel::input(std::span<const float> samples16k) {
    std::vector<float> audio(static_cast<size_t>(inputSamples), 0.0f);
    const size_t n = std::min(samples16k.size(), static_cast<size_t>(inputSamples));
    if (n == 0) return audio;
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += samples16k[i];
    const double mean = sum / static_cast<double>(n);
    double squares = 0;
    for (size_t i = 0; i < n; ++i) squares += (samples16k[i] - mean) * (samples16k[i] - mean);
    double deviation = std::sqrt(squares / static_cast<double>(n));
    if (deviation <= normalisationFloor) deviation = normalisationFloor;
    for (size_t i = 0; i < n; ++i) audio[i] = static_cast<float>((samples16k[i] - mean) / deviation);
    return audio;
}

CTCEmissions OnnxEmissionModel::logProbabilities(std::span<const float> samples16k, int64_t /*startUs*/) {
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(samples16k.size()), inputSamples);
    std::vector<float> audio = input(samples16k);
    try {
        const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
        const std::array<int64_t, 2> shape{1, inputSamples};
        Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, audio.data(), audio.size(), shape.data(), shape.size());
        const char* inputs[] = {"audio"};
        const char* outputs[] = {"logp"};
        std::vector<Ort::Value> results = session_->session.Run(Ort::RunOptions{nullptr}, inputs, &tensor, 1, outputs, 1);
        if (results.size() != 1 || !results[0].IsTensor()) throw unexpectedShape();
        const auto info = results[0].GetTensorTypeAndShapeInfo();
        const std::vector<int64_t> dims = info.GetShape();
        if (dims.size() != 3 || dims[1] < 0 || dims[2] < 0) throw unexpectedShape();
        const int64_t modelFrames = dims[1];
        const int64_t vocabulary = dims[2];
        const int64_t frames = std::min(n / CTCEmissions::samplesPerFrame, modelFrames);
        CTCEmissions emissions;
        emissions.frames = frames;
        emissions.vocabulary = vocabulary;
        emissions.values.resize(static_cast<size_t>(frames * vocabulary));
        const size_t count = emissions.values.size();
        switch (info.GetElementType()) {
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: {
            const float* data = results[0].GetTensorData<float>();
            std::copy(data, data + count, emissions.values.begin());
            break;
        }
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: {
            const Ort::Float16_t* data = results[0].GetTensorData<Ort::Float16_t>();
            for (size_t i = 0; i < count; ++i) emissions.values[i] = data[i].ToFloat();
            break;
        }
        default:
            throw unexpectedShape();
        }
        return emissions;
    } catch (const Ort::Exception& e) {
        throw EngineFailure::internalError(std::string("The alignment model failed: ") + e.what());
    }
}

} // namespace korvel
