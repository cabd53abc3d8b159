#pragma once

#include "Adapters/Render/Sources/RenderInputs.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Jobs.hpp"
#include "Core/Wire/EngineSource.hpp"
#include "Core/Plan/RenderPlan.hpp"
#include "Core/Timeline/ResolvedTimeline.hpp"

#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// Checks still running while a long render starts: content hashes, and the
// decoding of each video's last frame. Each check fails as the synchronous
// check does; they settle in the order they were added, so the first
// source that fails is the one reported.
class ContentChecks {
public:
    ContentChecks() = default;
    ContentChecks(const ContentChecks&) = delete;
    ContentChecks& operator=(const ContentChecks&) = delete;
    // Waits for any check still running.
    ~ContentChecks() = default;

    // Starts hashing the source's file on a thread of its own.
    void add(std::shared_ptr<SourceLibrary> library, const EngineSource& source);
    // Starts the check of the video's last frame on a thread of its own.
    void addEnd(std::shared_ptr<SourceLibrary> library, std::shared_ptr<const VideoSource> video);
    // Waits for every hash, and for any check added before a failing one;
    // throws the first failure.
    void settleHashes();
    // Waits for every check added; throws the first failure, again on every call.
    void settle();
    // Throws as settle() does once a check has failed; never waits while
    // none has, so a render can stop early without waiting for the rest.
    void throwIfFailed();

private:
    struct Check {
        std::shared_future<void> done;
        bool hash = true;
    };
    std::vector<Check> checks_;
};

// Turns a request's plan and files into the inputs of one render: the
// variant to draw, its timeline, every picture opened and checked against
// what the client declared. Every sentence about a missing, changed or
// unreadable input comes from here.
struct InputResolver {
    using SourceMap = std::map<std::string, EngineSource>;
    using MatteMap = std::map<std::string, MatteRef>;

    std::shared_ptr<SourceLibrary> library;
    std::shared_ptr<TextCaches> text;

    // Throws EngineFailure; the library's failures pass through. With
    // `later`, videos are opened while their hashes are still computed there,
    // and their last frames are checked there too:
    // the caller settles them before it relies on the sources, and a failure
    // here settles them first, so a changed source still says so first.
    RenderInputs resolve(const RenderPlan& plan, const std::optional<SourceMap>& sources,
                         const std::optional<MatteMap>& mattes, RenderVariant variant, RenderSize size,
                         ColorRecipe recipe, ContentChecks* later = nullptr) const;

    // Whether a path names a still picture by its extension.
    static bool isStill(const std::filesystem::path& path);

    // -32602 for the first asset (by id) that the plan lists in assetContent and
    // whose source holds other content; ids it does not list are not compared.
    static void checkContent(const RenderPlan& plan, const std::map<std::string, EngineSource, std::less<>>& sources);

    // The client's sentence for a timeline that can't be built.
    static EngineFailure failure(const TimelineError& error);

private:
    // With `later`, the last frame is checked there.
    std::shared_ptr<const VideoSource> opened(const std::filesystem::path& url, ContentChecks* later) const;
    RenderInputs resolved(const RenderPlan& plan, const std::optional<SourceMap>& sources,
                          const std::optional<MatteMap>& mattes, RenderVariant variant, RenderSize size,
                          ColorRecipe recipe, ContentChecks* later) const;
};

} // namespace korvel
