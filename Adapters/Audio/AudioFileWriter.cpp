#include "Adapters/Audio/AudioFileWriter.hpp"

#include "Adapters/Audio/AudioEncoder.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/Jobs.hpp"
#include "Core/Container/MP4BoxWriter.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace korvel::AudioFileWriter {

namespace {

std::string extensionOf(const fs::path& p) {
    std::string e = p.extension().string();
    if (!e.empty() && e[0] == '.') e.erase(0, 1);
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return e;
}

class File {
public:
    explicit File(const fs::path& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) throw SystemError::posix(errno, "create " + path.string());
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    void write(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        while (size > 0) {
            ssize_t n = ::write(fd_, p, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw SystemError::posix(errno, "write " + path_.string());
            }
            p += n;
            size -= static_cast<size_t>(n);
        }
    }
    void writeAt(const std::vector<uint8_t>& bytes, off_t at) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, at + static_cast<off_t>(done));
            if (n < 0) {
                if (errno == EINTR) continue;
                throw SystemError::posix(errno, "write " + path_.string());
            }
            done += static_cast<size_t>(n);
        }
    }
    void close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw SystemError::posix(errno, "close " + path_.string());
    }

private:
    fs::path path_;
    int fd_ = -1;
};

void le16(std::vector<uint8_t>& b, uint16_t v) {
    for (int i = 0; i < 2; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void le32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void le64(std::vector<uint8_t>& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void tag(std::vector<uint8_t>& b, const char* t) { b.insert(b.end(), t, t + 4); }

// RIFF header with a JUNK chunk that becomes ds64 when the data needs RF64.
std::vector<uint8_t> wavHeader(int channels, uint64_t frames) {
    const uint64_t dataBytes = frames * 4 * static_cast<uint64_t>(channels);
    constexpr uint64_t headerBytes = 12 + 36 + 26 + 12 + 8;
    const uint64_t riffBytes = headerBytes - 8 + dataBytes;
    const bool rf64 = riffBytes > 0xFFFFFFFFull;
    std::vector<uint8_t> h;
    tag(h, rf64 ? "RF64" : "RIFF");
    le32(h, rf64 ? 0xFFFFFFFFu : static_cast<uint32_t>(riffBytes));
    tag(h, "WAVE");
    tag(h, rf64 ? "ds64" : "JUNK");
    le32(h, 28);
    if (rf64) {
        le64(h, riffBytes);
        le64(h, dataBytes);
        le64(h, frames);
        le32(h, 0);
    } else {
        h.insert(h.end(), 28, 0);
    }
    tag(h, "fmt ");
    le32(h, 18);
    le16(h, 3); // IEEE float
    le16(h, static_cast<uint16_t>(channels));
    le32(h, static_cast<uint32_t>(PCMAudio::sampleRate));
    le32(h, static_cast<uint32_t>(PCMAudio::sampleRate * 4 * channels));
    le16(h, static_cast<uint16_t>(4 * channels));
    le16(h, 32);
    le16(h, 0);
    tag(h, "fact");
    le32(h, 4);
    le32(h, rf64 || frames > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(frames));
    tag(h, "data");
    le32(h, rf64 ? 0xFFFFFFFFu : static_cast<uint32_t>(dataBytes));
    return h;
}

void wavBody(const PCMSource& audio, const fs::path& url) {
    const int channels = audio.channelCount();
    if (channels < 1 || channels > 0xFFFF) throw EngineFailure::internalError("Could not set up the audio writer.");
    File file(url);
    const auto frames = static_cast<uint64_t>(audio.frameCount());
    file.write(wavHeader(channels, 0).data(), wavHeader(channels, 0).size());
    std::vector<float> chunk;
    for (int64_t at = 0; at < audio.frameCount(); at += chunkFrames) {
        Task::checkCancellation();
        const int64_t n = std::min(chunkFrames, audio.frameCount() - at);
        const PCMAudio block = audio.chunk(at, n);
        chunk.resize(static_cast<size_t>(n * channels));
        for (int64_t i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c)
                chunk[static_cast<size_t>(i * channels + c)] = block.channels[static_cast<size_t>(c)][static_cast<size_t>(i)];
        file.write(chunk.data(), chunk.size() * sizeof(float));
    }
    file.writeAt(wavHeader(channels, frames), 0);
    file.close();
}

// An ALAC track without samples, which FFmpeg's movie muxers would leave out.
std::vector<uint8_t> emptyMovie(int channels, const std::vector<uint8_t>& cookie) {
    using namespace MP4BoxWriter;
    Bytes ftyp;
    appendType(ftyp, "M4A ");
    appendU32(ftyp, 0x200);
    for (auto b : {"M4A ", "mp42", "isom"}) appendType(ftyp, b);
    Bytes entry;
    appendZeros(entry, 6);
    appendU16(entry, 1);
    appendZeros(entry, 8);
    appendU16(entry, static_cast<uint16_t>(channels));
    appendU16(entry, 24);
    appendZeros(entry, 4);
    appendU32(entry, 48000u << 16);
    const Bytes magic = fullBox("alac", 0, 0, cookie);
    entry.insert(entry.end(), magic.begin(), magic.end());
    const Bytes moov = movie({Track::Media::sound, 48000, unityMatrix, 0, 0, box("alac", entry), std::nullopt,
                              std::nullopt});
    return join({box("ftyp", ftyp), moov});
}

// A CAF of ALAC without samples. FFmpeg's reader takes an empty ALAC file
// only when its description names a constant packet size; with no packets
// that size (the coder's largest frame) describes nothing.
std::vector<uint8_t> emptyCaf(int channels, int framesPerPacket, const uint8_t* alacAtom, int atomSize) {
    using namespace MP4BoxWriter;
    // The cookie's largest frame, big-endian at bytes 20..23 of the 24-byte config.
    const uint8_t* config = alacAtom + atomSize - 24;
    const uint32_t maxFrameBytes = (uint32_t(config[20]) << 24) | (uint32_t(config[21]) << 16) |
                                   (uint32_t(config[22]) << 8) | uint32_t(config[23]);
    auto chunk = [](Bytes& out, std::string_view type, const Bytes& body) {
        appendType(out, type);
        appendU64(out, body.size());
        out.insert(out.end(), body.begin(), body.end());
    };
    Bytes file;
    appendType(file, "caff");
    appendU16(file, 1);
    appendU16(file, 0);
    Bytes desc;
    uint64_t rate = 0;
    const double hz = static_cast<double>(PCMAudio::sampleRate);
    std::memcpy(&rate, &hz, sizeof rate);
    appendU64(desc, rate);
    appendType(desc, "alac");
    appendU32(desc, 3); // 24-bit source samples
    appendU32(desc, maxFrameBytes);
    appendU32(desc, static_cast<uint32_t>(framesPerPacket));
    appendU32(desc, static_cast<uint32_t>(channels));
    appendU32(desc, 0);
    chunk(file, "desc", desc);
    Bytes kuki;
    appendU32(kuki, 12);
    appendType(kuki, "frma");
    appendType(kuki, "alac");
    kuki.insert(kuki.end(), alacAtom, alacAtom + atomSize);
    chunk(file, "kuki", kuki);
    Bytes pakt;
    appendZeros(pakt, 24); // no packets, no frames, no priming, no remainder
    chunk(file, "pakt", pakt);
    Bytes data;
    appendU32(data, 0); // edit count
    chunk(file, "data", data);
    return file;
}

struct OutputCloser {
    void operator()(AVFormatContext* c) const {
        if (c->pb) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};

void encodedBody(const PCMSource& audio, const fs::path& url, AudioEncoder::Codec codec, int64_t bitRate,
                 const char* muxer) {
    FFmpeg::prepare();
    const int channels = audio.channelCount();
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, muxer, url.c_str()) < 0 || !raw) {
        throw EngineFailure::internalError("Could not set up the audio writer.");
    }
    std::unique_ptr<AVFormatContext, OutputCloser> out(raw);
    AudioEncoder encoder(codec, std::max(channels, 1), bitRate, out->oformat->flags & AVFMT_GLOBALHEADER);

    if (audio.frameCount() == 0 && codec == AudioEncoder::Codec::alac && std::string(out->oformat->name) == "caf") {
        const auto* extra = encoder.context()->extradata;
        const int size = encoder.context()->extradata_size;
        if (!extra || size < 24) throw EngineFailure::internalError("Could not set up the audio writer.");
        const auto bytes = emptyCaf(std::max(channels, 1), encoder.frameSize(), extra, size);
        out.reset();
        File file(url);
        file.write(bytes.data(), bytes.size());
        file.close();
        return;
    }
    if (audio.frameCount() == 0 && codec == AudioEncoder::Codec::alac) {
        // The encoder's extradata is the 36-byte "alac" atom; its last 24 bytes are the cookie.
        const auto* extra = encoder.context()->extradata;
        const int size = encoder.context()->extradata_size;
        if (!extra || size < 24) throw EngineFailure::internalError("Could not set up the audio writer.");
        const std::vector<uint8_t> cookie(extra + size - 24, extra + size);
        out.reset();
        File file(url);
        const auto bytes = emptyMovie(std::max(channels, 1), cookie);
        file.write(bytes.data(), bytes.size());
        file.close();
        return;
    }

    AVStream* stream = avformat_new_stream(out.get(), nullptr);
    if (!stream) throw std::bad_alloc();
    if (avcodec_parameters_from_context(stream->codecpar, encoder.context()) < 0) {
        throw EngineFailure::internalError("Could not set up the audio writer.");
    }
    stream->time_base = AVRational{1, static_cast<int>(PCMAudio::sampleRate)};
    int status = avio_open(&out->pb, url.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) throw SystemError::ffmpeg(status, "create " + url.string());
    status = avformat_write_header(out.get(), nullptr);
    if (status < 0) throw SystemError::ffmpeg(status, "write " + url.string());
    const AVRational codecBase = encoder.context()->time_base;
    auto sink = [&](const AVPacket& packet) {
        AVPacket* copy = av_packet_clone(&packet);
        if (!copy) throw std::bad_alloc();
        copy->stream_index = stream->index;
        av_packet_rescale_ts(copy, codecBase, stream->time_base);
        int s = av_interleaved_write_frame(out.get(), copy);
        av_packet_free(&copy);
        if (s < 0) throw SystemError::ffmpeg(s, "write " + url.string());
    };
    for (int64_t at = 0; at < audio.frameCount(); at += chunkFrames) {
        Task::checkCancellation();
        const int64_t n = std::min(chunkFrames, audio.frameCount() - at);
        const PCMAudio block = audio.chunk(at, n);
        encoder.feed(&block, 0, n, sink);
    }
    encoder.finish(sink);
    status = av_write_trailer(out.get());
    if (status < 0) throw SystemError::ffmpeg(status, "write " + url.string());
    status = avio_closep(&out->pb);
    if (status < 0) throw SystemError::ffmpeg(status, "close " + url.string());
}

template <class Body> void throughTempOutput(const fs::path& final, const std::optional<fs::path>& journal, Body body) {
    TempOutput output(final, journal);
    try {
        body(output.url());
    } catch (...) {
        output.discard();
        throw;
    }
    output.commit();
}

const char* muxerFor(const std::string& e) {
    if (e == "m4a") return "ipod";
    if (e == "mp4") return "mp4";
    if (e == "mov") return "mov";
    if (e == "caf") return "caf";
    return nullptr;
}

} // namespace

bool writesLossless(const fs::path& final) {
    const std::string e = extensionOf(final);
    return e == "wav" || muxerFor(e) != nullptr;
}

void writeWav(const PCMSource& audio, const fs::path& final, const std::optional<fs::path>& journal) {
    throughTempOutput(final, journal, [&](const fs::path& url) { wavBody(audio, url); });
}

void writeLossless(const PCMSource& audio, const fs::path& final, const std::optional<fs::path>& journal) {
    const std::string e = extensionOf(final);
    if (e == "wav") return writeWav(audio, final, journal);
    const char* muxer = muxerFor(e);
    if (!muxer) throw EngineFailure::internalError("Could not set up the audio writer.");
    throughTempOutput(final, journal,
                      [&](const fs::path& url) { encodedBody(audio, url, AudioEncoder::Codec::alac, 0, muxer); });
}

void writeAAC(const PCMSource& audio, const fs::path& final, int64_t bitRate) {
    throughTempOutput(final, std::nullopt,
                      [&](const fs::path& url) { encodedBody(audio, url, AudioEncoder::Codec::aac, bitRate, "ipod"); });
}

void writeWav(const PCMAudio& audio, const fs::path& final, const std::optional<fs::path>& journal) {
    writeWav(*PCMSources::of(audio), final, journal);
}

void writeLossless(const PCMAudio& audio, const fs::path& final, const std::optional<fs::path>& journal) {
    writeLossless(*PCMSources::of(audio), final, journal);
}

void writeAAC(const PCMAudio& audio, const fs::path& final, int64_t bitRate) {
    writeAAC(*PCMSources::of(audio), final, bitRate);
}

} // namespace korvel::AudioFileWriter
