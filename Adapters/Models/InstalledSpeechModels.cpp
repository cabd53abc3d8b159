#include "Adapters/Models/InstalledSpeechModels.hpp"

#include "Adapters/Files/TempOutput.hpp"
#include "Adapters/Speech/OnnxEmissionModel.hpp"
#include "Adapters/Server/Stderr.hpp"

#include <algorithm>

namespace korvel {

namespace fs = std::filesystem;

namespace {

// Only a compiled model this cache named is ever removed.
bool isCompiledName(const std::string& name) {
    constexpr std::string_view suffix = ".mlmodelc";
    if (name.size() != 64 + suffix.size() || !name.ends_with(suffix)) return false;
    for (size_t i = 0; i < 64; ++i)
        if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f'))) return false;
    return true;
}

// The runtime's messages may run over several lines; a diagnostic is one.
std::string oneLine(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

} // namespace

void AlignerCache::compile(const fs::path& package, const fs::path& compiled) {
    fs::create_directories(compiledFolder);
    // Compiled under a temporary name and renamed: a crash leaves no half model under the real one.
    const fs::path temporary = compiledFolder / (".compiling-" + makeUUID());
    fs::create_directory(temporary);
    try {
        OnnxEmissionModel::compile(package, temporary);
        fs::rename(temporary, compiled);
    } catch (...) {
        std::error_code ec;
        fs::remove_all(temporary, ec);
        // Another call placed it first: theirs serves as well.
        if (fs::exists(compiled / OnnxEmissionModel::compiledFileName, ec)) return;
        throw;
    }
}

std::shared_ptr<OnnxEmissionModel> AlignerCache::model(const fs::path& package, const std::string& sha256) {
    std::lock_guard g(lock_);
    if (loaded_) return loaded_;
    const std::string name = sha256 + ".mlmodelc";
    if (!isCompiledName(name)) throw EngineFailure::internalError("The alignment model has no usable checksum.");
    const fs::path compiled = compiledFolder / name;
    std::error_code ec;
    const bool existed = fs::exists(fs::symlink_status(compiled, ec));
    if (!existed) compile(package, compiled);
    try {
        loaded_ = std::make_shared<OnnxEmissionModel>(compiled);
    } catch (const EngineFailure&) {
        if (!existed) throw;
        // A compiled model that no longer loads (cut short, from another
        // runtime) is made again once instead of failing every transcript.
        fs::remove_all(compiled);
        compile(package, compiled);
        loaded_ = std::make_shared<OnnxEmissionModel>(compiled);
    }
    return loaded_;
}

InstalledSpeechModels::InstalledSpeechModels(std::shared_ptr<ModelStore> store, fs::path compiledFolder, ModelEntry whisper,
                                             MakeTranscriber makeTranscriber, ModelEntry vad, ModelEntry ctc,
                                             WhisperHears whisperHears)
    : store(std::move(store)), makeTranscriber(std::move(makeTranscriber)),
      aligner(std::make_shared<AlignerCache>(std::move(compiledFolder))), whisper(std::move(whisper)), vad(std::move(vad)),
      ctc(std::move(ctc)), whisperHears(std::move(whisperHears)) {}

std::shared_ptr<Transcriber> InstalledSpeechModels::qualityTranscriber() {
    const auto model = store->installedURL(whisper);
    if (!model) return nullptr;
    const auto voice = store->installedURL(vad);
    if (!voice) return nullptr;
    return makeTranscriber(model->string(), voice->string());
}

std::shared_ptr<EmissionModel> InstalledSpeechModels::emissionModel() {
    const auto package = store->installedURL(ctc);
    if (!package) return nullptr;
    // Alignment only refines word times: a model that can't be made serves
    // as a missing one, so transcripts fall back instead of failing.
    try {
        return aligner->model(*package, ctc.sha256);
    } catch (const EngineFailure& failure) {
        // The package itself does not compile or load: it counts as not
        // installed, and the next install replaces it.
        Stderr::write("korvel-engine: " + oneLine(failure.message) + "\n");
        store->setAside(ctc);
    } catch (const std::exception& other) {
        Stderr::write("korvel-engine: the alignment model could not be compiled: " + oneLine(other.what()) + "\n");
    }
    return nullptr;
}

void InstalledSpeechModels::startInstallingIfNeeded() { store->startInstallingIfNeeded(); }

void InstalledSpeechModels::installAndWait(const JobContext& job) { store->install(std::nullopt, job); }

bool InstalledSpeechModels::catalogueHears(const std::string& language) {
    const bool listed = std::any_of(store->catalog.begin(), store->catalog.end(),
                                    [&](const ModelEntry& e) { return e.id == whisper.id; });
    return listed && (!whisperHears || whisperHears(language));
}

} // namespace korvel
