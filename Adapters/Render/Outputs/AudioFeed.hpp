#pragma once

#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Render/Outputs/MovieWriter.hpp"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace korvel {

// Puts an export's sound into its movie while the pictures are written: the
// mix file decoded and encoded to AAC, or a source's own sound passed
// through untouched. The sound is pumped on a thread of its own.
class AudioFeed {
public:
    struct Source {
        std::filesystem::path url;
        int sampleRate = 0;
        int channels = 0;
        double durationSeconds = 0;
        double videoDurationSeconds = 0;
        bool copied = false;
    };

    // The mix file; throws EngineFailure for a missing file, no sound, a
    // length off the video's by more than the tolerance, or more than two
    // channels.
    static Source open(const std::string& path, double videoSeconds, double toleranceSeconds);
    // A source file's own sound, any length and channel count.
    static Source openCopy(const std::filesystem::path& url, double videoSeconds);

    // Adds the sound input to the writer before it starts. Throws
    // EngineFailure.
    AudioFeed(const Source& source, MovieWriter& writer, int64_t bitrate);
    // Joins the pump; the caller raises the stop flag first on failure.
    ~AudioFeed();
    AudioFeed(const AudioFeed&) = delete;
    AudioFeed& operator=(const AudioFeed&) = delete;

    // Starts pumping; the returned wait returns when the whole sound is in
    // the writer and throws the pump's failure (the writer's among them), or
    // Cancelled when the stop flag is raised.
    std::function<void()> start(MovieWriter& writer, StopFlag& stop);
    // Whether the pump has ended, waiting at most that long.
    bool hasStopped(double seconds);
    // Waits for the pump to end, however long.
    void join();

    // "12.5", "10.0": the shortest text that reads back, with a decimal point.
    static std::string seconds(double value);

private:
    void pump(MovieWriter& writer, StopFlag& stop);

    Source source_;
    struct Reader;
    std::unique_ptr<Reader> reader_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable ended_;
    bool finished_ = false;
    std::exception_ptr failure_;
};

} // namespace korvel
