#include "Adapters/Render/Sources/ZimgGraphs.hpp"

#include "Adapters/Media/SystemError.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <new>
#include <string>

namespace korvel::ZimgGraphs {

namespace {

[[noreturn]] void zimgFailed(const char* doing) {
    char message[256] = {0};
    int code = zimg_get_last_error(message, sizeof message);
    throw SystemError("zimg", code, std::string(doing) + ": " + message);
}

// Only the fields a graph depends on (the structs themselves have padding),
// compared as bits: unset filter parameters are NaN.
using Key = std::array<uint64_t, 38>;

void put(Key& key, size_t& at, const zimg_image_format& f) {
    for (double v : {double(f.width), double(f.height), double(f.pixel_type), double(f.subsample_w),
                     double(f.subsample_h), double(f.color_family), double(f.matrix_coefficients),
                     double(f.transfer_characteristics), double(f.color_primaries), double(f.depth),
                     double(f.pixel_range), double(f.field_parity), double(f.chroma_location), double(f.alpha)}) {
        key[at++] = std::bit_cast<uint64_t>(v);
    }
}

Key keyOf(const zimg_image_format& src, const zimg_image_format& dst, const zimg_graph_builder_params& p) {
    Key key{};
    size_t at = 0;
    put(key, at, src);
    put(key, at, dst);
    for (double v : {double(p.resample_filter), p.filter_param_a, p.filter_param_b, double(p.resample_filter_uv),
                     double(p.dither_type), p.nominal_peak_luminance, p.filter_param_a_uv, p.filter_param_b_uv, double(p.cpu_type), double(p.allow_approximate_gamma)}) {
        key[at++] = std::bit_cast<uint64_t>(v);
    }
    return key;
}

struct Entry {
    Key key;
    Graph built;
    Entry() = default;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry() {
        zimg_filter_graph_free(built.graph);
        std::free(built.scratch);
    }
};

// A render meets a handful of geometries per thread (sources, masks, the
// output); more than that is a sign of sizes changing all the time.
constexpr size_t kept = 6;

} // namespace

Plane::Plane(size_t rowBytes, size_t rows) {
    constexpr size_t line = 64;
    stride_ = static_cast<ptrdiff_t>((rowBytes + line - 1) / line * line);
    size_t bytes = static_cast<size_t>(stride_) * std::max<size_t>(rows, 1) + line;
    values_ = FrameFloats(FrameBuffers::take((bytes + sizeof(float) - 1) / sizeof(float)));
    auto at = reinterpret_cast<uintptr_t>(values_.data());
    data_ = reinterpret_cast<uint8_t*>((at + line - 1) / line * line);
}

const Graph& forThread(const zimg_image_format& src, const zimg_image_format& dst,
                       const zimg_graph_builder_params& params) {
    thread_local std::list<Entry> entries;
    Key key = keyOf(src, dst, params);
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->key == key) {
            entries.splice(entries.begin(), entries, it);
            return entries.front().built;
        }
    }
    zimg_filter_graph* graph = zimg_filter_graph_build(&src, &dst, &params);
    if (!graph) zimgFailed("build a picture conversion");
    size_t size = 0;
    if (zimg_filter_graph_get_tmp_size(graph, &size) != ZIMG_ERROR_SUCCESS) {
        zimg_filter_graph_free(graph);
        zimgFailed("size a picture conversion");
    }
    void* scratch = std::aligned_alloc(64, (size + 63) / 64 * 64 + 64);
    if (!scratch) {
        zimg_filter_graph_free(graph);
        throw std::bad_alloc();
    }
    if (entries.size() >= kept) entries.pop_back();
    entries.emplace_front();
    entries.front().key = key;
    entries.front().built = {graph, scratch};
    return entries.front().built;
}

} // namespace korvel::ZimgGraphs
