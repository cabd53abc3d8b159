#include "Adapters/Render/Drawing/GraphRunner.hpp"

#include "Adapters/Concurrency/RenderGates.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Render/Drawing/FrameMemory.hpp"
#include "Adapters/Render/Sources/OpenReaders.hpp"
#include "Adapters/Render/Sources/VideoFrames.hpp"
#include "Core/ClientText.hpp"
#include "Core/CodecThreads.hpp"

#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <mutex>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace korvel {

int64_t GraphRunner::progressInterval(int64_t count) { return count < 100 ? 1 : count / 100; }

namespace {

struct Work {
    int64_t frame = 0;
    int64_t index = 0;
    const GraphInstruction* instruction = nullptr;
    std::map<int32_t, std::shared_ptr<const VideoFrames::DecodedFrame>> sources; // decoded, not converted
    std::optional<EncoderPicture> picture;
    std::chrono::steady_clock::time_point started;
};

using Decoded = std::map<int32_t, std::shared_ptr<const VideoFrames::DecodedFrame>>;
using Converted = std::map<int32_t, std::shared_ptr<const RGBAImage>>;

// Opens a reader per track on first use and decodes what a frame needs;
// converting the frames is left to the caller's thread. The readers are
// borrowed from the cache of open ones, so the next frame or window of the
// same source continues the running decoder, or starts it over with the
// threads and picture buffers it has.
class Sources {
public:
    // What the readers are lent for: a window's last frame is not asked
    // again, so its picture is not kept with the reader.
    enum class For { frame, window };
    Sources(const BuiltComposition& built, For use) : built_(built), use_(use) {}
    ~Sources() {
        if (use_ != For::window) return;
        for (auto& [track, open] : readers_)
            if (open.reader) open.reader->forgetLast();
    }
    Sources(const Sources&) = delete;
    Sources& operator=(const Sources&) = delete;

    Decoded at(int64_t frame, const GraphInstruction& instruction, const std::function<void()>& checkpoint) {
        Decoded out;
        const Composition& c = built_.composition;
        Open* current = nullptr;
        try {
            for (int32_t track : instruction.requiredSourceTrackIDs) {
                if (out.count(track)) continue;
                auto time = c.sourceTime(track, frame * c.grid.ticksPerFrame);
                if (!time) continue;
                current = nullptr;
                auto& open = this->reader(track, time->source);
                current = &open;
                const PTSTable& table = open.video->table;
                auto entry = std::clamp<int64_t>(table.indexOnScreen(time->ticks), 0, table.count() - 1);
                out[track] = open.reader->decoded(open.video->track->sampleOfEntry.at(static_cast<size_t>(entry)), checkpoint);
            }
        } catch (...) {
            // A reader stopped halfway is not lent again.
            if (current) current->reader.drop();
            try {
                throw;
            } catch (const EngineFailure&) {
                throw;
            } catch (const Cancelled&) {
                throw;
            } catch (...) {
                throw MediaFailure::reading(std::current_exception(), "This video");
            }
        }
        return out;
    }

private:
    struct Open {
        std::shared_ptr<const VideoSource> video;
        OpenReaders::Lease reader;
    };

    Open& reader(int32_t track, const CompositionSource& source) {
        auto& r = readers_[track];
        if (!r.reader) {
            auto video = built_.videos.find(source);
            if (video == built_.videos.end()) {
                throw EngineFailure::invalidParams("The render needs a source for asset " + ClientText::quoted(source.id) + ".");
            }
            auto values = source.kind == CompositionSource::Kind::asset ? VideoFrames::FrameValues::picture
                                                                        : VideoFrames::FrameValues::mask;
            auto output = built_.composition.hdr ? DynamicRange::keepHdr : DynamicRange::sdr;
            const VideoSource& v = *video->second;
            r.video = video->second;
            r.reader = OpenReaders::shared().take(v, output, values);
        }
        return r;
    }

    const BuiltComposition& built_;
    const For use_;
    std::map<int32_t, Open> readers_;
};

// The frames in the working space. Conversion failures read as the source's.
Converted converted(const Decoded& decoded) {
    Converted out;
    try {
        for (const auto& [track, frame] : decoded) out[track] = frame->image();
    } catch (const EngineFailure&) {
        throw;
    } catch (...) {
        throw MediaFailure::reading(std::current_exception(), "This video");
    }
    return out;
}

FrameSource lookUp(const Converted& sources) {
    return [&sources](int32_t track) -> std::shared_ptr<const RGBAImage> {
        auto it = sources.find(track);
        return it == sources.end() ? nullptr : it->second;
    };
}

// A frame's sources as its drawing asks for them: each converted when it is
// first asked for, or read straight. Whatever the drawing did not take is
// converted afterwards, so a frame still fails on any source that can't be.
class Asked {
public:
    explicit Asked(const Decoded& decoded) : decoded_(decoded) {}

    FrameSource images() {
        return [this](int32_t track) -> std::shared_ptr<const RGBAImage> {
            auto it = decoded_.find(track);
            return it == decoded_.end() ? nullptr : image(*it->second);
        };
    }
    SignalSource signals() {
        return [this](int32_t track, PlaneKernels::TargetCurve curve) -> std::optional<FrameConversion::SignalRows> {
            auto it = decoded_.find(track);
            if (it == decoded_.end()) return std::nullopt;
            auto rows = it->second->signal(curve);
            if (rows) {
                std::lock_guard guard(lock_);
                straight_.insert(track);
            }
            return rows;
        };
    }
    PictureRowSource rows() {
        return [this](int32_t track) -> std::optional<FrameConversion::PictureRows> {
            auto it = decoded_.find(track);
            if (it == decoded_.end()) return std::nullopt;
            auto rows = it->second->pictureRows();
            if (rows) {
                std::lock_guard guard(lock_);
                straight_.insert(track);
            }
            return rows;
        };
    }
    void convertRest() {
        for (const auto& [track, frame] : decoded_) {
            std::unique_lock guard(lock_);
            if (straight_.count(track)) continue;
            guard.unlock();
            image(*frame);
        }
    }
    // Whether what failed was a conversion, not the drawing.
    bool conversionFailed() const { return failed_; }

private:
    std::shared_ptr<const RGBAImage> image(const VideoFrames::DecodedFrame& frame) {
        try {
            return frame.image();
        } catch (const EngineFailure&) {
            failed_ = true;
            throw;
        } catch (...) {
            failed_ = true;
            throw MediaFailure::reading(std::current_exception(), "This video");
        }
    }

    const Decoded& decoded_;
    std::mutex lock_;
    std::set<int32_t> straight_;
    std::atomic<bool> failed_{false};
};

// The encoder's planes straight from the frame's one source, when the frame
// is that source's picture as it is: the working space would only give its
// signal back.
std::optional<EncoderPicture> asIs(const BuiltComposition& built, const Work& w, const VideoEncoding& encoding) {
    auto track = built.scene->shownAsIs(w.frame, w.instruction->range);
    if (!track) return std::nullopt;
    auto decoded = w.sources.find(*track);
    if (decoded == w.sources.end()) return std::nullopt;
    auto rows = decoded->second->signal(EncoderPicture::curve(encoding));
    const render::RenderCanvas& canvas = built.scene->canvas();
    if (!rows || rows->width() != canvas.pixelWidth() || rows->height() != canvas.pixelHeight() ||
        rows->width() != encoding.size.width || rows->height() != encoding.size.height) {
        return std::nullopt;
    }
    return EncoderPicture::fromSignal([&](int y, float* r, float* g, float* b) { rows->row(y, r, g, b); }, encoding);
}

} // namespace

size_t GraphRunner::framesInFlight(const BuiltComposition& built, const VideoEncoding& encoding) {
    // Each frame in flight holds a decoded source and encoder planes: renders
    // running together share them as they share the cores.
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    const int share = RenderGates::codecThreads(2);
    const int threads = share == CodecThreads::libraryChoice ? cores : share;
    // A frame is drawn tile by tile on every idle core, so a few in flight
    // keep the decoder, the drawing and the encoder busy. Beyond what the
    // frame pool keeps, each window maps and faults its pictures in anew.
    double largest = 0;
    for (const auto& [source, video] : built.videos) {
        largest = std::max(largest, video->naturalSize.width * video->naturalSize.height);
    }
    const double canvas = static_cast<double>(encoding.size.width) * static_cast<double>(encoding.size.height);
    // The source and the canvas in the working space, and the encoder's planes.
    const double frameBytes = (largest + canvas) * 4 * sizeof(float) + canvas * 1.5;
    const auto fit = static_cast<int>(std::min(8.0, static_cast<double>(FrameMemory::mostBytes) / std::max(frameBytes, 1.0)));
    return static_cast<size_t>(std::clamp(std::min(threads + 2, fit), minFramesInFlight, 8));
}

RGBAImage GraphRunner::draw(const BuiltComposition& built, int64_t frame, StopFlag& stop) {
    auto checkpoint = [&] {
        if (stop.stopped()) throw Cancelled();
    };
    const GraphInstruction* instruction = built.composition.instruction(frame);
    if (!instruction) throw EngineFailure::internalError("The render gave 0 frames where the plan has 1.");
    Sources sources(built, Sources::For::frame);
    auto decoded = converted(sources.at(frame, *instruction, checkpoint));
    checkpoint();
    try {
        return built.scene->picture(frame, instruction->range, lookUp(decoded));
    } catch (...) {
        built.scene->recordFailure(std::current_exception());
        throw;
    }
}

int64_t GraphRunner::run(const BuiltComposition& built, FrameRange frames, const VideoEncoding& encoding,
                         FrameSink& sink, StopFlag& stop, const Progress& progress) {
    const Composition& composition = built.composition;
    int64_t count = std::max<int64_t>(0, frames.count());
    if (count == 0) return 0;
    int64_t interval = progressInterval(count);
    Sources sources(built, Sources::For::window);
    auto checkpoint = [&] {
        if (stop.stopped()) throw Cancelled();
    };

    int64_t next = 0, written = 0;
    const size_t tokens = GraphRunner::framesInFlight(built, encoding);
    // The frames in flight belong to the render, not to the pipeline: items a
    // cancelled pipeline leaves in its buffers are never destroyed by it, and
    // would keep their pictures for the life of the process. A frame's slot
    // is free again once the frames before it have left, as they leave in
    // order.
    std::vector<std::unique_ptr<Work>> inFlight(tokens);
    // Pictures leave the chain in the encoder's gamma when it takes them so:
    // most of a frame is then never taken back to light only to be encoded again.
    const PixelDomain drawnIn = EncoderPicture::encodedSpace(encoding) == built.scene->inputs().recipe.gammaSpace()
                                    ? PixelDomain::gammaStraight
                                    : PixelDomain::linearPremultiplied;
    tbb::parallel_pipeline(
        tokens,
        tbb::make_filter<void, Work*>(
            tbb::filter_mode::serial_in_order,
            [&](tbb::flow_control& fc) -> Work* {
                if (next >= count) {
                    fc.stop();
                    return nullptr;
                }
                checkpoint();
                auto& slot = inFlight[static_cast<size_t>(next) % tokens];
                slot = std::make_unique<Work>();
                Work* w = slot.get();
                w->index = next;
                w->frame = frames.lowerBound + next;
                ++next;
                w->started = std::chrono::steady_clock::now();
                w->instruction = composition.instruction(w->frame);
                if (!w->instruction) {
                    throw EngineFailure::internalError("The render gave " + std::to_string(w->index) +
                                                       " frames where the plan has " + std::to_string(count) + ".");
                }
                w->sources = sources.at(w->frame, *w->instruction, checkpoint);
                return w;
            }) &
            tbb::make_filter<Work*, Work*>(
                tbb::filter_mode::parallel,
                [&](Work* w) {
                    if (stop.stopped()) throw Cancelled();
                    // A thread waiting for the tiles of its frame must not
                    // start another frame meanwhile: the frames next in line
                    // for the encoder would finish late and all together.
                    // Idle threads still take tiles, so a frame alone in
                    // flight has every core.
                    tbb::this_task_arena::isolate([&] {
                        try {
                            w->picture = asIs(built, *w, encoding);
                        } catch (...) {
                            built.scene->recordFailure(std::current_exception());
                            throw;
                        }
                        if (w->picture) {
                            w->sources.clear();
                            return;
                        }
                        Asked asked(w->sources);
                        try {
                            RGBAImage image = built.scene->picture(w->frame, w->instruction->range, asked.images(),
                                                                   drawnIn, asked.signals(), asked.rows());
                            asked.convertRest();
                            w->sources.clear();
                            w->picture = EncoderPicture::from(image, encoding, drawnIn);
                        } catch (...) {
                            if (!asked.conversionFailed()) built.scene->recordFailure(std::current_exception());
                            throw;
                        }
                    });
                    return w;
                }) &
            tbb::make_filter<Work*, void>(
                tbb::filter_mode::serial_in_order, [&](Work* w) {
                    if (stop.stopped()) throw Cancelled();
                    if (w->index != written) {
                        throw EngineFailure::internalError("The render gave frame " + std::to_string(w->frame) +
                                                           " where it expected " +
                                                           std::to_string(frames.lowerBound + written) + ".");
                    }
                    sink.take(*w->picture, w->index);
                    w->picture.reset();
                    auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - w->started);
                    built.scene->noteFrame(ms.count());
                    ++written;
                    if (progress && (written % interval == 0 || written == count)) progress(written, count);
                }));
    if (stop.stopped()) throw Cancelled();
    if (written != count) {
        throw EngineFailure::internalError("The render gave " + std::to_string(written) + " frames where the plan has " +
                                           std::to_string(count) + ".");
    }
    return written;
}

} // namespace korvel
