#include "Adapters/Methods/AudioAnalysisMethods.hpp"

#include "Adapters/Audio/AudioMethods.hpp"
#include "Adapters/Audio/AudioPlanRenderer.hpp"
#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Methods/AnalysisService.hpp"
#include "Adapters/Methods/MatteService.hpp"
#include "Adapters/Methods/SoundRecordSweep.hpp"
#include "Adapters/Models/ModelMethods.hpp"
#include "Adapters/Files/EngineCaches.hpp"

namespace korvel {
namespace AudioAnalysisMethods {

namespace {
void addAnalysis(std::map<std::string, Job, std::less<>>& methods, const Inputs& inputs) {
    const EngineCaches caches{inputs.cacheRoot};
    const AnalysisCache cache{caches.analysis(), caches.journal()};
    // Before any request can read them.
    SoundRecordSweep::once(cache.folder);
    auto measuring = std::make_shared<SharedMeasurement<JSONValue>>(BackgroundGate::shared());
    const AnalysisVersions versions{inputs.engineVersion};
    SoundDecoding decoding;
    decoding.stream = &AudioDecoder::stream;
    decoding.readMono = &AudioDecoder::readMono;
    if (inputs.plans) {
        decoding.isolatedVoice = [voices = inputs.plans->isolatedVoices()](const EngineSource& source,
                                                                        const JobContext& job) {
            return voices->voice(source, job);
        };
    }
    const SoundOfVideo sound{std::make_shared<SharedMeasurement<SoundResults>>(BackgroundGate::shared()),
                             inputs.library, cache, versions, decoding};
    SceneScanMemo* scenes = inputs.scenes ? inputs.scenes : &SceneScanMemo::shared();
    std::optional<TranscriptAnalysis> transcripts;
    if (inputs.models) {
        transcripts = TranscriptAnalysis{std::make_shared<const TranscriptionPipeline>(inputs.systemTranscriber, inputs.models),
                                         cache, measuring, inputs.library, versions, decoding};
    }
    const AnalysisService service{cache,    measuring, sound, inputs.library, versions, decoding,
                                  FrameAnalysers::real(), scenes, transcripts};
    methods["analysis.run"] = [service](const JSONValue& params, const JobContext& job) {
        return service.run(params, job);
    };
    methods["analysis.known"] = [service](const JSONValue& params, const JobContext&) { return service.known(params); };
    auto builder = inputs.matte ? inputs.matte : std::make_shared<const MatteBuilder>();
    const MatteService matte{builder, inputs.library, versions, caches.journal()};
    methods["matte.build"] = [matte](const JSONValue& params, const JobContext& job) { return matte.build(params, job); };
}
} // namespace

std::map<std::string, Job, std::less<>> table(const Inputs& inputs) {
    std::map<std::string, Job, std::less<>> methods;
    addAnalysis(methods, inputs);
    if (auto plans = inputs.plans) {
        methods["audio.mix"] = [plans](const JSONValue& params, const JobContext& job) {
            return AudioMethods::mix(params, *plans, job);
        };
    }
    if (auto store = inputs.store) {
        methods["models.status"] = [store](const JSONValue&, const JobContext&) { return ModelMethods::status(*store); };
        methods["models.install"] = [store](const JSONValue& params, const JobContext& job) {
            return ModelMethods::install(*store, params, job);
        };
    }
    return methods;
}

} // namespace AudioAnalysisMethods
} // namespace korvel
