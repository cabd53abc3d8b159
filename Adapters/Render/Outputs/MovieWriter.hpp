#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "Adapters/Render/Outputs/PacketSink.hpp"

struct AVBufferRef;
struct AVCodecParameters;
struct AVPacket;

namespace korvel {

class MovieFile;

// An MP4 file written by libavformat's muxer, fast start (movie box first),
// HEVC tagged "hvc1". Inputs are added before writing starts, and all of
// them arrive compressed: pictures copied from a source or from the encoding
// stage, sound encoded by the caller or passed through.
//
// A call that can't be carried out throws EngineFailure in the user's words
// (the first failure again on every later call), and Cancelled once the
// writing was cancelled.
class MovieWriter : public PacketSink {
public:
    // A track that takes compressed samples as they are.
    struct VideoInput {
        std::string sampleEntry;          // "avc1" or "hvc1"
        std::vector<uint8_t> config;      // payload of avcC or hvcC
        int64_t width = 0, height = 0;
        std::array<int32_t, 9> matrix{0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
        int32_t timescale = 0;            // ticks of the samples' times
    };

    struct Sample {
        int64_t decodeTicks = 0;
        int64_t presentationTicks = 0;
        int64_t durationTicks = 0;
        bool isSync = false;
    };
    // A sample of the pass-through input as it will be appended.
    struct Planned {
        Sample sample;
        int64_t size = 0;
    };

    explicit MovieWriter(std::filesystem::path url);
    ~MovieWriter();
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    const std::filesystem::path& outputURL() const { return url_; }
    int32_t movieTimescale = 0; // 0 leaves it to the muxer

    // -32003 "The file can't carry this video as it is." for an unknown
    // codec or once writing started.
    void add(const VideoInput& input);
    // A track of the encoder's packets, which come through take(); -32003
    // "The encoder refused its settings." once writing started.
    void add(const VideoEncoder& encoder);
    // A sound track of compressed packets in that time base; -32003 "The
    // encoder refused the sound's settings." when it can't be carried.
    void addAudio(const AVCodecParameters* parameters, int timebaseNum, int timebaseDen);

    // Every sample the pass-through input will append, in order, told before
    // writing starts. When the file holds that track alone, a run without
    // bytes measures the movie box first and each byte is then written once,
    // where it ends up, instead of moved behind the movie box at the end.
    void plan(std::vector<Planned> samples);

    void startWriting();
    // A sample of the pass-through video input.
    void append(const Sample& sample, std::span<const uint8_t> bytes);
    // The same for bytes at `at` in a buffer that several samples share,
    // read at once: the packet refers to them instead of copying.
    void append(const Sample& sample, const AVBufferRef& shared, size_t at, size_t size);
    // Whether the file is laid out in advance, once writing started.
    bool laidOut() const;
    // A planned sample of a laid-out file: the `size` bytes at `offset` of
    // `file`, copied there by the kernel without passing through here, with
    // the samples next to it. Throws as StoredSamples::read does when they
    // can't be read, here or on a later call.
    void append(const Sample& sample, std::shared_ptr<const MovieFile> file, int64_t offset, int64_t size);
    // Packets of the encoded video track.
    void take(std::span<const VideoEncoder::Packet> packets) override;
    [[noreturn]] void refuse(std::exception_ptr failure) override;
    // A packet of the sound track.
    void appendAudio(const AVPacket& packet);
    // The movie box, after the encoder's tail.
    void finishWriting();
    // Closes the file where it stands; never throws.
    void cancelWriting();

private:
    enum class Status { unknown, writing, completed, failed, cancelled };
    [[noreturn]] void fail(std::exception_ptr error); // caller holds lock_
    void checkWriting();                              // caller holds lock_
    void write(AVPacket* packet);                     // caller holds lock_
    void writeSample(AVPacket* packet, const Sample& sample); // caller holds lock_
    [[noreturn]] void failCopy(std::exception_ptr error);     // caller holds lock_

    std::filesystem::path url_;
    struct State;
    std::unique_ptr<State> state_;
    mutable std::mutex lock_;
};

} // namespace korvel
