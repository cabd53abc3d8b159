#include "Adapters/Methods/MatteService.hpp"

#include "Adapters/Files/CacheFile.hpp"
#include "Adapters/Files/FileIdentity.hpp"
#include "Adapters/Methods/AnalysisCache.hpp"
#include "Adapters/Vision/MaskWriter.hpp"
#include "Core/ClientText.hpp"
#include "Core/Wire/MatteWire.hpp"

#include <fcntl.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace korvel {

namespace {
std::optional<JSONValue> stored(const fs::path& sidecar, const std::string& fingerprint, const fs::path& output) {
    struct stat st {};
    if (::stat(output.c_str(), &st) != 0) return std::nullopt;
    const auto bytes = CacheFile::read(sidecar);
    if (!bytes) return std::nullopt;
    try {
        JSONValue value = JSONValue::parsing(*bytes);
        const JSONValue* f = value.member("fingerprint");
        const JSONValue* p = value.member("path");
        if (!f || !f->stringPtr() || *f->stringPtr() != fingerprint) return std::nullopt;
        if (!p || !p->stringPtr() || *p->stringPtr() != output.string()) return std::nullopt;
        return value;
    } catch (...) {
        return std::nullopt;
    }
}
} // namespace

MatteRequest MatteRequest::decode(const JSONReader& in) {
    MatteRequest r;
    in.read("assetId", r.assetId);
    in.read("source", r.source);
    in.read("method", r.method);
    in.read("longEdge", r.longEdge);
    in.read("outPath", r.outPath);
    return r;
}

void MatteRequest::encode(JSONWriter& out) const {
    out.write("assetId", assetId);
    out.write("source", source);
    out.write("method", method);
    out.write("longEdge", longEdge);
    out.write("outPath", outPath);
}

std::shared_ptr<std::mutex> MatteService::PathLocks::of(const fs::path& path) {
    std::lock_guard g(lock_);
    for (auto it = locks_.begin(); it != locks_.end();) {
        if (it->second.expired()) it = locks_.erase(it);
        else ++it;
    }
    auto& slot = locks_[path];
    auto held = slot.lock();
    if (!held) {
        held = std::make_shared<std::mutex>();
        slot = held;
    }
    return held;
}

JSONValue MatteService::build(const JSONValue& params, const JobContext& job) const {
    const auto request = decoded<MatteRequest>(params);
    const auto method = MatteBuilder::methodNamed(request.method);
    if (!method) throw EngineFailure::invalidParams("Unknown matte method: " + ClientText::quoted(request.method) + ".");
    if (request.longEdge < 1) throw EngineFailure::invalidParams("A matte needs a size.");
    // No source makes a mask movie the encoder takes from a shorter edge.
    if (request.longEdge < MaskWriter::minSide) {
        throw EngineFailure::invalidParams("A matte needs a long edge of at least " +
                                           std::to_string(MaskWriter::minSide) + " pixels.");
    }
    const fs::path output = fs::absolute(fs::path(request.outPath));
    const fs::path sidecar = fs::path(output.string() + ".json");
    const fs::path source(request.source.path);
    for (const auto& written : {output, sidecar})
        FileIdentity::refuseOverwriting(written, std::span(&source, 1), "A matte can't be written over its own source.");
    library->verify(request.source);

    const std::string fingerprint =
        versions.matteFingerprint(request.source.contentHash, request.method, request.longEdge);

    const auto pathLock = locks->of(output);
    std::unique_lock serial(*pathLock);
    if (auto answer = stored(sidecar, fingerprint, output)) return std::move(*answer);

    // The old sidecar goes before a new movie can land beside it: a build
    // that fails half way leaves no record that still matches.
    std::error_code ec;
    fs::remove(sidecar, ec);
    const MatteBuilder::Built built =
        matte->build(source, *method, request.longEdge, output, std::optional<fs::path>(journal), job);
    const MatteAnalysisModel model(request.assetId, request.source.contentHash, fingerprint, output.string(),
                                   request.method, built.width, built.height, built.frameCount, built.durationUs,
                                   built.quality);
    JSONValue answer = encoding(model);
    writeThroughTempOutput(sidecar, journal, PlainJSON::text(answer));
    return answer;
}

} // namespace korvel
