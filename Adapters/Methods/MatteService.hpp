#pragma once

#include "Adapters/Media/SourceLibrary.hpp"
#include "Adapters/Vision/MatteBuilder.hpp"
#include "Core/Wire/EngineSource.hpp"
#include "Core/Wire/AnalysisVersions.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace korvel {

// The params of matte.build.
struct MatteRequest {
    std::string assetId;
    EngineSource source;
    std::string method;
    int64_t longEdge = 0;
    std::string outPath;

    static MatteRequest decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// matte.build: a person-matte movie at the client's path with a sidecar
// "<outPath>.json" holding the answer, reused while both still match.
struct MatteService {
    std::shared_ptr<const MatteBuilder> matte;
    std::shared_ptr<SourceLibrary> library;
    AnalysisVersions versions;
    std::filesystem::path journal;

    // Builds for one output path run one at a time, so a movie and its
    // sidecar always come from the same build.
    class PathLocks {
    public:
        std::shared_ptr<std::mutex> of(const std::filesystem::path& path);

    private:
        std::mutex lock_;
        std::map<std::filesystem::path, std::weak_ptr<std::mutex>> locks_;
    };
    std::shared_ptr<PathLocks> locks = std::make_shared<PathLocks>();

    JSONValue build(const JSONValue& params, const JobContext& job) const;
};

} // namespace korvel
