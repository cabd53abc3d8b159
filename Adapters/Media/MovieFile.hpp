#pragma once

#include "Core/Container/MovieBox.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace korvel {

// A file opened for reads at offsets, with the top-level layout of movie
// files (MP4, MOV) read on demand.
class MovieFile {
public:
    // Throws SystemError when the file can't be opened.
    explicit MovieFile(const std::filesystem::path& url);
    // Takes over a descriptor already open for reading, such as a scratch
    // file removed at once; `url` names it in messages. Throws SystemError
    // when it is no regular file.
    MovieFile(int fd, const std::filesystem::path& url);
    ~MovieFile();
    MovieFile(const MovieFile&) = delete;
    MovieFile& operator=(const MovieFile&) = delete;

    int64_t size() const { return size_; }
    const std::filesystem::path& url() const { return url_; }

    enum class Read { whole, short_, failed };
    // Reads exactly `count` bytes at `offset`; `error` receives errno on failure.
    Read read(int64_t offset, size_t count, uint8_t* into, int* error = nullptr) const;
    // Copies exactly `count` bytes at `offset` to `at` in the file open for
    // writing as `fd`, within the kernel where it can; the same answers.
    Read copy(int64_t offset, size_t count, int fd, int64_t at, int* error = nullptr) const;

    // The top level starts like a movie file.
    bool isMovieFile() const;
    // A box of that type at the top level.
    bool hasTopLevelBox(std::string_view type) const;
    // The parsed movie box; nothing when the file has none. Throws MovieBoxError.
    std::optional<MovieBox> movieBox() const;

private:
    MovieFileLayout::Reader reader() const;

    std::filesystem::path url_;
    int fd_ = -1;
    int64_t size_ = 0;
};

} // namespace korvel
