#pragma once

#include <zimg.h>

namespace korvel {

// zimg graphs and their scratch, built once per conversion and thread:
// building one costs about as much as running it on a small frame.
namespace ZimgGraphs {

struct Graph {
    zimg_filter_graph* graph = nullptr;
    void* scratch = nullptr; // 64-byte aligned, as large as the graph needs
};

// The calling thread's graph for this conversion; it stays valid until the
// same thread asks for a few other conversions. Throws SystemError when zimg
// refuses the conversion.
const Graph& forThread(const zimg_image_format& src, const zimg_image_format& dst,
                       const zimg_graph_builder_params& params);

} // namespace ZimgGraphs
} // namespace korvel
