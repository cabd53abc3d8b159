#include "Core/Audio/PCMSource.hpp"

#include "Core/Audio/Decibels.hpp"

#include <algorithm>
#include <cstring>

namespace korvel {

bool PCMSource::repeats(int) const { return false; }

PCMAudio PCMSource::chunk(int64_t from, int64_t count) const {
    PCMAudio out;
    out.channels.resize(static_cast<size_t>(channelCount()));
    for (int c = 0; c < channelCount(); ++c) {
        auto& channel = out.channels[static_cast<size_t>(c)];
        channel.resize(static_cast<size_t>(count));
        if (c > 0 && repeats(c))
            channel = out.channels[static_cast<size_t>(c - 1)];
        else if (count > 0)
            read(c, from, count, channel.data());
    }
    return out;
}

namespace PCMSources {

namespace {

class View : public PCMSource {
public:
    explicit View(const PCMAudio& audio) : audio_(audio) {}
    int64_t frameCount() const override { return audio_.frameCount(); }
    int channelCount() const override { return static_cast<int>(audio_.channelCount()); }
    void read(int c, int64_t from, int64_t count, float* out) const override {
        const auto& channel = audio_.channels[static_cast<size_t>(c)];
        // A channel shorter than the first reads as silence past its end.
        const int64_t have = std::clamp<int64_t>(static_cast<int64_t>(channel.size()) - from, 0, count);
        if (have > 0) std::memcpy(out, channel.data() + from, static_cast<size_t>(have) * sizeof(float));
        std::fill(out + have, out + count, 0.0f);
    }

private:
    const PCMAudio& audio_;
};

class Held : public PCMSource {
public:
    explicit Held(PCMAudio audio) : audio_(std::move(audio)), view_(audio_) {}
    int64_t frameCount() const override { return view_.frameCount(); }
    int channelCount() const override { return view_.channelCount(); }
    void read(int c, int64_t from, int64_t count, float* out) const override { view_.read(c, from, count, out); }

private:
    PCMAudio audio_;
    View view_;
};

class Window : public PCMSource {
public:
    Window(const PCMAudio& audio, int64_t from, int64_t count, int64_t end)
        : audio_(audio), from_(from), count_(count), end_(end) {}
    int64_t frameCount() const override { return count_; }
    int channelCount() const override { return static_cast<int>(audio_.channelCount()); }
    void read(int c, int64_t from, int64_t count, float* out) const override {
        const auto& channel = audio_.channels[static_cast<size_t>(c)];
        const int64_t size = std::min(static_cast<int64_t>(channel.size()), end_);
        for (int64_t k = 0; k < count; ++k) {
            const int64_t i = from_ + from + k;
            out[k] = i >= 0 && i < size ? channel[static_cast<size_t>(i)] : 0.0f;
        }
    }

private:
    const PCMAudio& audio_;
    int64_t from_, count_, end_;
};

class SourceWindow : public PCMSource {
public:
    SourceWindow(Source source, int64_t from, int64_t count, int64_t end)
        : source_(std::move(source)), from_(from), count_(count),
          size_(std::clamp<int64_t>(end, 0, source_->frameCount())) {}
    int64_t frameCount() const override { return count_; }
    int channelCount() const override { return source_->channelCount(); }
    void read(int c, int64_t from, int64_t count, float* out) const override {
        const int64_t first = from_ + from;
        const int64_t lo = std::clamp<int64_t>(first, 0, size_);
        const int64_t hi = std::clamp<int64_t>(first + count, lo, size_);
        std::fill(out, out + count, 0.0f);
        if (hi > lo) source_->read(c, lo, hi - lo, out + (lo - first));
    }

private:
    Source source_;
    int64_t from_, count_, size_;
};

class Blended : public PCMSource {
public:
    Blended(Source wet, Source dry, float amount) : wet_(std::move(wet)), dry_(std::move(dry)), amount_(amount) {}
    int64_t frameCount() const override { return std::min(wet_->frameCount(), dry_->frameCount()); }
    int channelCount() const override { return std::min(wet_->channelCount(), dry_->channelCount()); }
    void read(int c, int64_t from, int64_t count, float* out) const override {
        const float a = amount_;
        const float b = 1.0f - a;
        std::vector<float> d(static_cast<size_t>(count));
        wet_->read(c, from, count, out);
        dry_->read(c, from, count, d.data());
        for (int64_t i = 0; i < count; ++i) {
            const float x = a * out[i];
            const float y = b * d[static_cast<size_t>(i)];
            out[i] = x + y;
        }
    }

private:
    Source wet_, dry_;
    float amount_;
};

class Memory : public PCMStore {
public:
    Memory(int channels, int64_t frames)
        : channels_(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames), 0.0f)),
          frames_(frames) {}
    int64_t frameCount() const override { return frames_; }
    int channelCount() const override { return static_cast<int>(channels_.size()); }
    void read(int c, int64_t from, int64_t count, float* out) const override {
        std::memcpy(out, channels_[static_cast<size_t>(c)].data() + from, static_cast<size_t>(count) * sizeof(float));
    }
    void write(int c, int64_t from, int64_t count, const float* in) override {
        std::memcpy(channels_[static_cast<size_t>(c)].data() + from, in, static_cast<size_t>(count) * sizeof(float));
    }

private:
    std::vector<std::vector<float>> channels_;
    int64_t frames_;
};

class Bus : public PCMSource {
public:
    Bus(std::shared_ptr<const PCMStore> store, bool mono) : store_(std::move(store)), mono_(mono) {}
    int64_t frameCount() const override { return store_->frameCount(); }
    int channelCount() const override { return store_->channelCount(); }
    bool repeats(int c) const override { return mono_ && c > 0; }
    void read(int c, int64_t from, int64_t count, float* out) const override {
        store_->read(mono_ ? 0 : c, from, count, out);
    }

private:
    std::shared_ptr<const PCMStore> store_;
    bool mono_;
};

class Scaled : public PCMSource {
public:
    Scaled(Source source, float gain) : source_(std::move(source)), gain_(gain) {}
    int64_t frameCount() const override { return source_->frameCount(); }
    int channelCount() const override { return source_->channelCount(); }
    bool repeats(int c) const override { return source_->repeats(c); }
    void read(int c, int64_t from, int64_t count, float* out) const override {
        source_->read(c, from, count, out);
        for (int64_t i = 0; i < count; ++i) out[i] = out[i] * gain_;
    }

private:
    Source source_;
    float gain_;
};

class Summed : public PCMSource {
public:
    Summed(Source base, Source effects, float gain) : base_(std::move(base)), effects_(std::move(effects)), gain_(gain) {}
    int64_t frameCount() const override { return std::min(base_->frameCount(), effects_->frameCount()); }
    int channelCount() const override { return std::min(base_->channelCount(), effects_->channelCount()); }
    bool repeats(int c) const override { return base_->repeats(c) && effects_->repeats(c); }
    void read(int c, int64_t from, int64_t count, float* out) const override {
        base_->read(c, from, count, out);
        std::vector<float> b(static_cast<size_t>(count));
        effects_->read(c, from, count, b.data());
        if (gain_ == 1.0f) {
            for (int64_t i = 0; i < count; ++i) out[i] = out[i] + b[static_cast<size_t>(i)];
        } else {
            for (int64_t i = 0; i < count; ++i) out[i] = out[i] + b[static_cast<size_t>(i)] * gain_;
        }
    }

private:
    Source base_, effects_;
    float gain_;
};

class Limited : public PCMSource {
public:
    Limited(Source source, Source curve) : source_(std::move(source)), curve_(std::move(curve)) {}
    int64_t frameCount() const override { return source_->frameCount(); }
    int channelCount() const override { return source_->channelCount(); }
    bool repeats(int c) const override { return source_->repeats(c); }
    void read(int c, int64_t from, int64_t count, float* out) const override {
        source_->read(c, from, count, out);
        std::vector<float> g(static_cast<size_t>(count));
        curve_->read(0, from, count, g.data());
        for (int64_t i = 0; i < count; ++i) out[i] = out[i] * g[static_cast<size_t>(i)];
    }

private:
    Source source_, curve_;
};

} // namespace

Source of(const PCMAudio& audio) { return std::make_shared<View>(audio); }
Source window(const PCMAudio& audio, int64_t from, int64_t count, int64_t end) {
    return std::make_shared<Window>(audio, from, count, end);
}
Source window(Source source, int64_t from, int64_t count, int64_t end) {
    return std::make_shared<SourceWindow>(std::move(source), from, count, end);
}
Source blended(Source wet, Source dry, float amount) {
    return std::make_shared<Blended>(std::move(wet), std::move(dry), amount);
}
Source holding(PCMAudio audio) { return std::make_shared<Held>(std::move(audio)); }
std::shared_ptr<PCMStore> inMemory(int channels, int64_t frames) { return std::make_shared<Memory>(channels, frames); }
PCMStores memoryStores() { return [](int channels, int64_t frames) { return inMemory(channels, frames); }; }

Source bus(std::shared_ptr<const PCMStore> store, bool mono) { return std::make_shared<Bus>(std::move(store), mono); }
Source scaled(Source source, double db) { return std::make_shared<Scaled>(std::move(source), Decibels::linear(db)); }
Source summed(Source base, Source effects, float gain) {
    return std::make_shared<Summed>(std::move(base), std::move(effects), gain);
}
Source limited(Source source, Source curve) { return std::make_shared<Limited>(std::move(source), std::move(curve)); }

} // namespace PCMSources

} // namespace korvel
