#pragma once

#include "Core/Jobs.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// One downloadable model file the engine knows.
struct ModelEntry {
    enum class Archive { none, zip };

    std::string id;
    std::string fileName;
    std::string sha256;
    int64_t byteLength = 0;
    std::string license;
    Archive archive = Archive::none;

    bool operator==(const ModelEntry&) const = default;
};

namespace ModelCatalog {
const ModelEntry& whisperLargeV3();
const ModelEntry& whisperSmallEn();
const ModelEntry& sileroVad();
const ModelEntry& ctcLv60();
// The standalone engine's catalogue: whisper large, voice activity, CTC.
const std::vector<ModelEntry>& all();
} // namespace ModelCatalog

// Where a model file can be downloaded from.
class ModelSource {
public:
    virtual ~ModelSource() = default;
    // The address of the entry's file, or nothing when this source doesn't serve it.
    virtual std::optional<std::string> url(const ModelEntry& entry) const = 0;
};

class Transcriber;
class EmissionModel;

// What the transcription pipeline asks of the installed models. Calls block
// the job's thread.
class SpeechModelProviding {
public:
    virtual ~SpeechModelProviding() = default;
    // The whisper transcriber, or null while its models are not installed.
    virtual std::shared_ptr<Transcriber> qualityTranscriber() = 0;
    // The alignment model, or null while it is not installed.
    virtual std::shared_ptr<EmissionModel> emissionModel() = 0;
    // Starts installing what is missing in the background; returns at once.
    virtual void startInstallingIfNeeded() = 0;
    // Installs what is missing and returns when done.
    virtual void installAndWait(const JobContext& /*job*/) {}
    // Whether a model of the catalogue, once installed, transcribes the
    // language: when none does, waiting for an install is pointless.
    virtual bool catalogueHears(const std::string& /*language*/) { return true; }
};

} // namespace korvel
