#pragma once

#include "Core/Container/EncodedAudioStream.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

namespace korvel {

// AAC packets of one mix published as the encoder makes them, so segments
// can be cut before the whole mix is encoded. Packets are never changed
// once published: every snapshot is a prefix of the final stream.
class GrowingAudioStream {
public:
    struct Shape {
        int64_t encoderDelayFrames = 0;
        int64_t frameCount = 0;
        int64_t channelCount = 0;
        int64_t bitRate = 0;
    };

    void begin(const Shape& shape);
    void append(std::vector<std::vector<uint8_t>> packets);
    void finish();
    void fail(std::exception_ptr error);
    // Asks the encoder to stop; it ends with the cancellation error.
    void stop();

    bool stopped() const;
    bool ended() const; // finished or failed
    std::stop_token stopToken() const { return stopper_.get_token(); }
    std::exception_ptr failure() const;

    EncodedAudioStream snapshot() const;
    // The same without the packets' bytes, and the bytes of one window only:
    // a segment never copies the whole stream.
    EncodedAudioStream shape() const;
    std::vector<std::vector<uint8_t>> packets(int64_t first, int64_t end) const;
    int64_t packetCount() const;
    // Waits at most `step` for the stream to change.
    void waitForChange(std::chrono::milliseconds step) const;

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::optional<Shape> shape_;
    std::vector<std::vector<uint8_t>> packets_;
    std::exception_ptr failure_;
    bool finished_ = false;
    bool stopped_ = false;
    std::stop_source stopper_;
};

} // namespace korvel
