#pragma once

#include "Core/Picture/FrameBuffers.hpp"

#include <zimg.h>

#include <cstddef>
#include <cstdint>

namespace korvel {

// zimg graphs and their scratch, built once per conversion and thread:
// building one costs about as much as running it on a small frame.
namespace ZimgGraphs {

struct Graph {
    zimg_filter_graph* graph = nullptr;
    void* scratch = nullptr; // 64-byte aligned, as large as the graph needs
};

// A plane as zimg wants it (rows on 64-byte boundaries) in a frame buffer,
// so that a render's frames reuse the memory instead of faulting it in.
// Its values are left as they come.
class Plane {
public:
    Plane(size_t rowBytes, size_t rows);
    uint8_t* data() const { return data_; }
    ptrdiff_t stride() const { return stride_; }
    template <class T>
    T* row(size_t y) const {
        return reinterpret_cast<T*>(data_ + static_cast<ptrdiff_t>(y) * stride_);
    }

private:
    FrameFloats values_;
    uint8_t* data_ = nullptr;
    ptrdiff_t stride_ = 0;
};

// The calling thread's graph for this conversion; it stays valid until the
// same thread asks for a few other conversions. Throws SystemError when zimg
// refuses the conversion.
const Graph& forThread(const zimg_image_format& src, const zimg_image_format& dst,
                       const zimg_graph_builder_params& params);

} // namespace ZimgGraphs
} // namespace korvel
