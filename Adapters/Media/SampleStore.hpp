#pragma once

#include <cstdint>
#include <cstddef>
#include <filesystem>
#include <memory>

namespace korvel {

class MovieFile;

// Sample bytes that are not in their source file as they are (packets of
// MPEG-TS or Ogg, reframed pictures), kept in one scratch file. The file is
// removed as soon as it is open, so nothing outlives its reader even when
// the process dies.
class SampleStore {
public:
    // Throws EngineFailure (-32003, -32004) when the scratch file can't be made.
    SampleStore();
    ~SampleStore();
    SampleStore(const SampleStore&) = delete;
    SampleStore& operator=(const SampleStore&) = delete;

    // Where the bytes now lie in the store. Throws EngineFailure when they
    // can't be written.
    int64_t append(const uint8_t* data, size_t size);

    // The store for reading, named `url` in messages; the store is spent.
    std::shared_ptr<const MovieFile> finish(const std::filesystem::path& url);

private:
    int fd_ = -1;
    int64_t end_ = 0;
};

} // namespace korvel
