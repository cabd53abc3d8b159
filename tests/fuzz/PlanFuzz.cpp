// Feeds arbitrary JSON to the plan decoder and to every method's params, as a
// client could send them. Each decode either fails with the contract's
// -32602 or gives a record; a plan read back from its own encoding is the
// same plan. Refusals are fine; crashes, hangs, leaks, other exceptions and
// runaway allocations are not.
#include "Core/Wire/AssetMethodTypes.hpp"
#include "Core/Wire/Contract.hpp"
#include "Core/Wire/FrameMethodTypes.hpp"
#include "Core/Wire/ExportMethodTypes.hpp"
#include "Core/Wire/LiveMethodTypes.hpp"
#include "Core/Plan/RenderPlan.hpp"
#include "Core/Wire/SegmentMethodTypes.hpp"
#include "Core/Wire/TextMethodTypes.hpp"

#include <string_view>

using namespace korvel;

namespace {

template <class T> void tryDecoding(const JSONValue& value) {
    try {
        T record = decoded<T>(value);
        (void)encoding(record);
    } catch (const EngineFailure& failure) {
        if (failure.code != -32602) __builtin_trap();
    } catch (const JSONEncodingError&) {
        // a double that JSON can't hold, made in decoding
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JSONValue value;
    try {
        value = JSONValue::parsing(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const JSONParseError&) {
        return 0;
    }
    try {
        RenderPlan plan = decoded<RenderPlan>(value);
        JSONValue written = encoding(plan);
        if (!(decoded<RenderPlan>(written) == plan)) __builtin_trap();
    } catch (const EngineFailure& failure) {
        if (failure.code != -32602) __builtin_trap();
    } catch (const JSONEncodingError&) {
    }
    tryDecoding<ProbeParams>(value);
    tryDecoding<ThumbnailParams>(value);
    tryDecoding<SegmentListParams>(value);
    tryDecoding<SegmentParams>(value);
    tryDecoding<FrameParams>(value);
    tryDecoding<ExportParams>(value);
    tryDecoding<LiveParams>(value);
    tryDecoding<TextMeasureParams>(value);
    tryDecoding<TextLayoutParams>(value);
    // The same params under the key a request carries them in.
    if (const JSONValue* params = value.member("params")) {
        tryDecoding<SegmentParams>(*params);
        tryDecoding<ExportParams>(*params);
    }
    return 0;
}
