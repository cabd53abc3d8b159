#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// One ONNX Runtime session per model file and process, shared by every
// caller; runs are safe from several threads at once.
class OnnxModel {
public:
    struct Tensor {
        std::vector<int64_t> shape;
        std::vector<float> values;
    };

    // The folder of the installed picture models.
    static std::filesystem::path folder();
    // The session of a model in that folder, created on first use. Throws
    // EngineFailure -32603 "<failure sentence>" + the runtime's message.
    static OnnxModel& shared(const std::string& fileName, const std::string& failure);

    // One float input, every output. Throws EngineFailure -32603 with the
    // failure sentence of the model followed by the runtime's message.
    std::vector<Tensor> run(const Tensor& input) const;

    ~OnnxModel();
    OnnxModel(const OnnxModel&) = delete;
    OnnxModel& operator=(const OnnxModel&) = delete;

private:
    OnnxModel() = default;
    struct State;
    std::unique_ptr<State> state_;
    std::string failure_;
};

} // namespace korvel
