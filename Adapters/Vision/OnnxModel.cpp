#include "Adapters/Vision/OnnxModel.hpp"

#include "Adapters/Files/RuntimeFiles.hpp"
#include "Adapters/Server/Stderr.hpp"
#include "Core/Jobs.hpp"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

namespace korvel {

namespace {

// The runtime's own log goes through the engine's one library handler.
void logLine(void*, OrtLoggingLevel severity, const char*, const char*, const char*, const char* message) {
    Stderr::Severity level = severity >= ORT_LOGGING_LEVEL_FATAL   ? Stderr::Severity::fatal
                             : severity >= ORT_LOGGING_LEVEL_ERROR ? Stderr::Severity::error
                             : severity >= ORT_LOGGING_LEVEL_WARNING ? Stderr::Severity::warning
                                                                     : Stderr::Severity::info;
    Stderr::library("onnxruntime", level, message ? message : "");
}

Ort::Env& environment() {
    static Ort::Env env(ORT_LOGGING_LEVEL_ERROR, "korvel-engine", logLine, nullptr);
    return env;
}

int intraOpThreads() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency() / 2, 1u, 4u)); }

} // namespace

struct OnnxModel::State {
    Ort::Session session{nullptr};
    std::vector<std::string> inputNames, outputNames;
};

OnnxModel::~OnnxModel() = default;

std::filesystem::path OnnxModel::folder() { return RuntimeFiles::folder("vision-models"); }

OnnxModel& OnnxModel::shared(const std::string& fileName, const std::string& failure) {
    static std::mutex lock;
    static std::map<std::string, std::unique_ptr<OnnxModel>> models;
    std::lock_guard g(lock);
    auto& slot = models[fileName];
    if (slot) return *slot;
    auto model = std::unique_ptr<OnnxModel>(new OnnxModel);
    model->failure_ = failure;
    model->state_ = std::make_unique<State>();
    try {
        Ort::SessionOptions options;
        options.SetIntraOpNumThreads(intraOpThreads());
        options.SetInterOpNumThreads(1);
        // Idle runtime threads sleep: frames arrive one at a time, beside a
        // decoder and an encoder that want the cores.
        options.AddConfigEntry("session.intra_op.allow_spinning", "0");
        options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
        std::string path = (folder() / fileName).string();
        model->state_->session = Ort::Session(environment(), path.c_str(), options);
        Ort::AllocatorWithDefaultOptions allocator;
        for (size_t i = 0; i < model->state_->session.GetInputCount(); ++i)
            model->state_->inputNames.push_back(model->state_->session.GetInputNameAllocated(i, allocator).get());
        for (size_t i = 0; i < model->state_->session.GetOutputCount(); ++i)
            model->state_->outputNames.push_back(model->state_->session.GetOutputNameAllocated(i, allocator).get());
    } catch (const Ort::Exception& e) {
        throw EngineFailure::internalError(failure + e.what());
    }
    slot = std::move(model);
    return *slot;
}

std::vector<OnnxModel::Tensor> OnnxModel::run(const Tensor& input) const {
    try {
        auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
        auto value = Ort::Value::CreateTensor<float>(memory, const_cast<float*>(input.values.data()), input.values.size(),
                                                     input.shape.data(), input.shape.size());
        std::vector<const char*> inNames, outNames;
        for (const auto& n : state_->inputNames) inNames.push_back(n.c_str());
        for (const auto& n : state_->outputNames) outNames.push_back(n.c_str());
        auto outputs = state_->session.Run(Ort::RunOptions{nullptr}, inNames.data(), &value, 1, outNames.data(),
                                           outNames.size());
        std::vector<Tensor> out;
        for (auto& o : outputs) {
            auto info = o.GetTensorTypeAndShapeInfo();
            Tensor t;
            t.shape = info.GetShape();
            const float* p = o.GetTensorData<float>();
            t.values.assign(p, p + info.GetElementCount());
            out.push_back(std::move(t));
        }
        return out;
    } catch (const Ort::Exception& e) {
        throw EngineFailure::internalError(failure_ + e.what());
    }
}

} // namespace korvel
