#include "Adapters/Audio/RNNoise.hpp"

#include "Core/Jobs.hpp"

#include "rnnoise.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

// The small runtime the translated module needs: linear memory and tables
// with explicit bounds (no signal handlers), function types interned by
// signature, and traps thrown as C++ exceptions through the translated code.

struct Z_env_instance_t {
    Z_rnnoise_instance_t* module = nullptr;
};

namespace {

struct TrapError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct FuncTypes {
    std::mutex lock;
    std::vector<std::vector<int>> signatures;
};

FuncTypes& funcTypes() {
    static auto* types = new FuncTypes;
    return *types;
}

} // namespace

extern "C" {

bool wasm_rt_is_initialized(void) { return true; }

[[noreturn]] void wasm_rt_trap(wasm_rt_trap_t trap) {
    throw TrapError("the noise suppressor trapped with code " + std::to_string(static_cast<int>(trap)));
}

uint32_t wasm_rt_register_func_type(uint32_t params, uint32_t results, ...) {
    std::vector<int> signature{static_cast<int>(params), static_cast<int>(results)};
    va_list args;
    va_start(args, results);
    for (uint32_t i = 0; i < params + results; ++i) signature.push_back(va_arg(args, int));
    va_end(args);
    auto& types = funcTypes();
    std::lock_guard g(types.lock);
    for (size_t i = 0; i < types.signatures.size(); ++i)
        if (types.signatures[i] == signature) return static_cast<uint32_t>(i + 1);
    types.signatures.push_back(signature);
    return static_cast<uint32_t>(types.signatures.size());
}

void wasm_rt_allocate_memory(wasm_rt_memory_t* memory, uint32_t initialPages, uint32_t maxPages) {
    const size_t bytes = static_cast<size_t>(initialPages) * 65536;
    memory->data = static_cast<uint8_t*>(std::calloc(bytes ? bytes : 1, 1));
    if (!memory->data) throw std::bad_alloc();
    memory->pages = initialPages;
    memory->max_pages = maxPages;
    memory->size = static_cast<uint32_t>(bytes);
}

uint32_t wasm_rt_grow_memory(wasm_rt_memory_t* memory, uint32_t delta) {
    const uint32_t old = memory->pages;
    const uint64_t pages = static_cast<uint64_t>(old) + delta;
    if (pages > memory->max_pages || pages > 65535) return UINT32_MAX;
    const size_t bytes = static_cast<size_t>(pages) * 65536;
    auto* grown = static_cast<uint8_t*>(std::realloc(memory->data, bytes));
    if (!grown) return UINT32_MAX;
    std::memset(grown + memory->size, 0, bytes - memory->size);
    memory->data = grown;
    memory->pages = static_cast<uint32_t>(pages);
    memory->size = static_cast<uint32_t>(bytes);
    return old;
}

void wasm_rt_free_memory(wasm_rt_memory_t* memory) {
    std::free(memory->data);
    memory->data = nullptr;
}

void wasm_rt_allocate_funcref_table(wasm_rt_funcref_table_t* table, uint32_t elements, uint32_t maxElements) {
    table->data = static_cast<wasm_rt_funcref_t*>(std::calloc(elements ? elements : 1, sizeof(wasm_rt_funcref_t)));
    if (!table->data) throw std::bad_alloc();
    table->size = elements;
    table->max_size = maxElements;
}

void wasm_rt_free_funcref_table(wasm_rt_funcref_table_t* table) {
    std::free(table->data);
    table->data = nullptr;
}

void Z_envZ___assert_fail(Z_env_instance_t*, u32, u32, u32, u32) { wasm_rt_trap(WASM_RT_TRAP_UNREACHABLE); }

u32 Z_envZ_emscripten_memcpy_big(Z_env_instance_t* env, u32 dest, u32 src, u32 count) {
    wasm_rt_memory_t& m = env->module->w2c_memory;
    if (static_cast<uint64_t>(dest) + count > m.size || static_cast<uint64_t>(src) + count > m.size) {
        wasm_rt_trap(WASM_RT_TRAP_OOB);
    }
    std::memmove(m.data + dest, m.data + src, count);
    return dest;
}

u32 Z_envZ_emscripten_resize_heap(Z_env_instance_t* env, u32 requested) {
    wasm_rt_memory_t& m = env->module->w2c_memory;
    if (requested <= m.size) return 1;
    const uint64_t pages = (static_cast<uint64_t>(requested) + 65535) / 65536;
    return wasm_rt_grow_memory(&m, static_cast<uint32_t>(pages - m.pages)) == UINT32_MAX ? 0 : 1;
}

} // extern "C"

namespace korvel {

struct RNNoise::Instance {
    Z_env_instance_t env;
    Z_rnnoise_instance_t module{};
    u32 state = 0, input = 0, output = 0;
    bool instantiated = false;

    ~Instance() {
        if (instantiated) Z_rnnoise_free(&module);
    }
};

RNNoise::RNNoise() : instance_(std::make_unique<Instance>()) {
    static std::once_flag once;
    std::call_once(once, [] { Z_rnnoise_init_module(); });
    auto& in = *instance_;
    in.env.module = &in.module;
    try {
        Z_rnnoise_instantiate(&in.module, &in.env);
        in.instantiated = true;
        Z_rnnoiseZ___wasm_call_ctors(&in.module);
        in.state = Z_rnnoiseZ_rnnoise_create(&in.module, 0);
        in.input = Z_rnnoiseZ_malloc(&in.module, frameSize * sizeof(float));
        in.output = Z_rnnoiseZ_malloc(&in.module, frameSize * sizeof(float));
    } catch (const std::exception&) {
        throw EngineFailure::internalError("Could not allocate the isolation input.");
    }
    if (in.state == 0 || in.input == 0 || in.output == 0) {
        throw EngineFailure::internalError("Could not allocate the isolation input.");
    }
}

RNNoise::~RNNoise() = default;

float RNNoise::process(const float* input, float* output) {
    auto& in = *instance_;
    wasm_rt_memory_t& m = in.module.w2c_memory;
    std::memcpy(m.data + in.input, input, frameSize * sizeof(float));
    float vad = 0;
    try {
        vad = Z_rnnoiseZ_rnnoise_process_frame(&in.module, in.state, in.output, in.input);
    } catch (const TrapError&) {
        throw EngineFailure::internalError("AUSoundIsolation failed while rendering.");
    }
    std::memcpy(output, in.module.w2c_memory.data + in.output, frameSize * sizeof(float));
    return vad;
}

} // namespace korvel
