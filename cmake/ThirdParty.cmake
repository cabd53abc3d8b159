# Libraries that are not Debian packages, or not usable as they are: ONNX
# Runtime and whisper.cpp from the dependency cache, RNNoise translated from
# WebAssembly, PocketSphinx with its include folders mended.

# ONNX Runtime, one release's headers and library from the dependency cache.
set(KORVEL_ORT_ROOT "${KORVEL_DEPS_DIR}/com.github.asus4.onnxruntime_0.4.9/package/Plugins")
if(EXISTS "${KORVEL_ORT_ROOT}/Linux/x64/libonnxruntime.so")
  # A copy in the build folder: the cache may sit in a home folder that the
  # engine's user (the tests run it unprivileged too) cannot read.
  file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/onnxruntime")
  file(COPY_FILE "${KORVEL_ORT_ROOT}/Linux/x64/libonnxruntime.so" "${PROJECT_BINARY_DIR}/onnxruntime/libonnxruntime.so.1"
       ONLY_IF_DIFFERENT)
  add_library(korvel_onnxruntime SHARED IMPORTED)
  set_target_properties(korvel_onnxruntime PROPERTIES
    IMPORTED_LOCATION "${PROJECT_BINARY_DIR}/onnxruntime/libonnxruntime.so.1"
    INTERFACE_INCLUDE_DIRECTORIES "${KORVEL_ORT_ROOT}/iOS~/onnxruntime.xcframework/ios-arm64_x86_64-simulator/onnxruntime.framework/Headers")
else()
  message(FATAL_ERROR "ONNX Runtime is missing from ${KORVEL_DEPS_DIR}: run scripts/install-deps")
endif()

# RNNoise, translated from its WebAssembly build to C at build time and
# compiled natively. Bounds are checked in code (no signal handlers, so the
# sanitizers and the engine keep their own), and traps unwind as exceptions.
set(KORVEL_RNNOISE_WASM "${KORVEL_DEPS_DIR}/_sapphi-red_web-noise-suppressor_0.4.1/package/dist/rnnoise.wasm")
find_program(WASM2C wasm2c)
if(NOT WASM2C OR NOT EXISTS "${KORVEL_RNNOISE_WASM}")
  message(FATAL_ERROR "wasm2c or rnnoise.wasm is missing: run scripts/install-deps")
endif()
set(KORVEL_RNNOISE_DIR "${PROJECT_BINARY_DIR}/rnnoise")
add_custom_command(
  OUTPUT "${KORVEL_RNNOISE_DIR}/rnnoise.c" "${KORVEL_RNNOISE_DIR}/rnnoise.h"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${KORVEL_RNNOISE_DIR}"
  COMMAND ${WASM2C} "${KORVEL_RNNOISE_WASM}" -n rnnoise -o "${KORVEL_RNNOISE_DIR}/rnnoise.c"
  DEPENDS "${KORVEL_RNNOISE_WASM}"
  COMMENT "Translating rnnoise.wasm to C")
add_library(korvel_rnnoise STATIC "${KORVEL_RNNOISE_DIR}/rnnoise.c")
target_include_directories(korvel_rnnoise PUBLIC "${KORVEL_RNNOISE_DIR}")
target_compile_definitions(korvel_rnnoise PUBLIC WASM_RT_MEMCHECK_SIGNAL_HANDLER=0 WASM_RT_USE_STACK_DEPTH_COUNT=0)
target_compile_options(korvel_rnnoise PRIVATE -w -O2 -fexceptions)
set_target_properties(korvel_rnnoise PROPERTIES POSITION_INDEPENDENT_CODE ON)

# The system transcriber.
pkg_check_modules(POCKETSPHINX REQUIRED pocketsphinx sphinxbase)
# Debian's pocketsphinx.pc names an include folder it does not ship.
add_library(korvel_pocketsphinx INTERFACE)
foreach(dir ${POCKETSPHINX_INCLUDE_DIRS})
  if(EXISTS "${dir}")
    target_include_directories(korvel_pocketsphinx SYSTEM INTERFACE "${dir}")
  endif()
endforeach()
target_link_libraries(korvel_pocketsphinx INTERFACE ${POCKETSPHINX_LINK_LIBRARIES})

# whisper.cpp from the dependency cache, a static CPU library. It is built
# quietly and without the sanitizers: its own code is not ours to check.
set(KORVEL_WHISPER_ROOT "${KORVEL_DEPS_DIR}/nodejs-whisper_0.3.1/package/cpp/whisper.cpp")
if(NOT EXISTS "${KORVEL_WHISPER_ROOT}/CMakeLists.txt")
  message(FATAL_ERROR "whisper.cpp is missing from ${KORVEL_DEPS_DIR}: run scripts/install-deps")
endif()
# It reads its settings from the cache; a parent project's own
# BUILD_SHARED_LIBS and GIT_EXECUTABLE are put back after it.
foreach(setting BUILD_SHARED_LIBS GIT_EXECUTABLE)
  if(DEFINED CACHE{${setting}})
    set(KORVEL_PARENT_${setting} "$CACHE{${setting}}")
  endif()
endforeach()
set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(GGML_NATIVE OFF CACHE BOOL "" FORCE)
set(GGML_AVX ON CACHE BOOL "" FORCE)
set(GGML_AVX2 ON CACHE BOOL "" FORCE)
set(GGML_FMA ON CACHE BOOL "" FORCE)
set(GGML_F16C ON CACHE BOOL "" FORCE)
set(GGML_CCACHE OFF CACHE BOOL "" FORCE)
set(WHISPER_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(WHISPER_BUILD_SERVER OFF CACHE BOOL "" FORCE)
set(WHISPER_BUILD_EXAMPLES ON CACHE BOOL "" FORCE) # whisper-cli and the quantizer for the benchmark
set(WHISPER_ALL_WARNINGS OFF CACHE BOOL "" FORCE)
# Its build asks git for a version, but the cached source is no checkout.
set(GIT_EXECUTABLE /bin/false CACHE FILEPATH "" FORCE)
get_directory_property(KORVEL_OPTIONS COMPILE_OPTIONS)
# Its asserts name their source files: named from the cache, not this machine.
set_directory_properties(PROPERTIES COMPILE_OPTIONS "-w;-ffile-prefix-map=${KORVEL_DEPS_DIR}/=")
add_subdirectory("${KORVEL_WHISPER_ROOT}" whisper.cpp EXCLUDE_FROM_ALL)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${KORVEL_OPTIONS}")
foreach(setting BUILD_SHARED_LIBS GIT_EXECUTABLE)
  if(DEFINED KORVEL_PARENT_${setting})
    set_property(CACHE ${setting} PROPERTY VALUE "${KORVEL_PARENT_${setting}}")
  else()
    unset(${setting} CACHE)
  endif()
endforeach()

