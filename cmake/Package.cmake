# The product a host links: libkorvel-engine.so, one shared library holding
# the in-process engine, with its public headers, and an installed prefix
# that finds its run-time files from where it lies, not where it was built.
include(CMakePackageConfigHelpers)

# The headers a host sees, flat under include/korvel-engine/. Each may
# include only the others: their includes are rewritten to the installed
# names, and one that reaches further stops the configuration.
set(KORVEL_PUBLIC_HEADERS
  Embedded/EngineABI.h
  Embedded/InProcessEngine.hpp
  Embedded/EngineAssembly.hpp
  Adapters/Live/LiveVideo.hpp
  Adapters/Live/LiveAsset.hpp
  Adapters/Live/LivePlayer.hpp
  Adapters/Files/EngineFolders.hpp
  Adapters/Render/Drawing/Picture.hpp
  Core/JSONValue.hpp
  Core/Jobs.hpp
  Core/Speech/ModelCatalog.hpp
  Core/Timeline/FrameTimings.hpp
  Core/Timeline/TickTime.hpp)
set(KORVEL_PUBLIC_INCLUDE "${PROJECT_BINARY_DIR}/include")
foreach(header ${KORVEL_PUBLIC_HEADERS})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${header}")
  file(READ "${PROJECT_SOURCE_DIR}/${header}" text)
  string(REGEX MATCHALL "#include \"[^\"]+\"" includes "${text}")
  foreach(line ${includes})
    string(REGEX REPLACE "#include \"([^\"]+)\"" "\\1" included "${line}")
    if(NOT included IN_LIST KORVEL_PUBLIC_HEADERS)
      message(FATAL_ERROR "${header} is public but includes ${included}, which a host cannot see")
    endif()
    get_filename_component(name "${included}" NAME)
    string(REPLACE "${line}" "#include <korvel-engine/${name}>" text "${text}")
  endforeach()
  get_filename_component(name "${header}" NAME)
  file(CONFIGURE OUTPUT "${KORVEL_PUBLIC_INCLUDE}/korvel-engine/${name}" CONTENT "${text}" @ONLY)
endforeach()

# The build folder is laid out as the prefix is where the code looks: the
# picture models beside the binaries.
file(CREATE_LINK "${KORVEL_DEPS_DIR}/vision-models" "${PROJECT_BINARY_DIR}/vision-models" SYMBOLIC)

# Built from the archives the tests link (whole, so every public function is
# there), showing only what Exports.map names, and complete: --no-undefined
# keeps a host from needing any other -l.
# CMake wants a source of the library's own; its code is all in the archives.
file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/korvel-engine-library.cpp" CONTENT "// The archives are the library.\n")
add_library(korvel_engine_library SHARED "${PROJECT_BINARY_DIR}/korvel-engine-library.cpp")
set(KORVEL_EXPORTS "${PROJECT_SOURCE_DIR}/Embedded/Exports.map")
target_link_libraries(korvel_engine_library PRIVATE korvel_embedded)
target_link_options(korvel_engine_library PRIVATE
  "LINKER:--whole-archive" "$<TARGET_FILE:korvel_embedded>" "$<TARGET_FILE:korvel_adapters>"
  "$<TARGET_FILE:korvel_core>" "LINKER:--no-whole-archive"
  "LINKER:--version-script=${KORVEL_EXPORTS}" "LINKER:--no-undefined")
target_include_directories(korvel_engine_library INTERFACE
  "$<BUILD_INTERFACE:${KORVEL_PUBLIC_INCLUDE}>" "$<INSTALL_INTERFACE:include>")
target_compile_features(korvel_engine_library INTERFACE cxx_std_20)
set_target_properties(korvel_engine_library PROPERTIES
  OUTPUT_NAME korvel-engine EXPORT_NAME engine LINKER_LANGUAGE CXX
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS "${KORVEL_EXPORTS}"
  INSTALL_RPATH "$ORIGIN")
add_library(KorvelEngine::engine ALIAS korvel_engine_library)
set_target_properties(korvel-engine PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")

install(TARGETS korvel-engine RUNTIME DESTINATION bin)
install(TARGETS korvel_engine_library EXPORT KorvelEngineTargets LIBRARY DESTINATION lib)
install(FILES "${PROJECT_BINARY_DIR}/onnxruntime/libonnxruntime.so.1" DESTINATION lib)
install(DIRECTORY "${KORVEL_PUBLIC_INCLUDE}/korvel-engine" DESTINATION include)
# The cache holds links into other packages: the files they name are installed.
file(GLOB KORVEL_VISION_MODEL_FILES "${KORVEL_DEPS_DIR}/vision-models/*.onnx" "${KORVEL_DEPS_DIR}/vision-models/*.txt")
foreach(model ${KORVEL_VISION_MODEL_FILES})
  get_filename_component(name "${model}" NAME)
  file(REAL_PATH "${model}" real)
  install(FILES "${real}" DESTINATION share/korvel-engine/vision-models RENAME "${name}")
endforeach()
# Line tables name the build machine's folders; the installed code keeps none.
install(CODE "
  foreach(file bin/korvel-engine lib/libkorvel-engine.so.${PROJECT_VERSION})
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\"
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()")

install(EXPORT KorvelEngineTargets NAMESPACE KorvelEngine:: DESTINATION lib/cmake/KorvelEngine)
configure_package_config_file(cmake/KorvelEngineConfig.cmake.in "${PROJECT_BINARY_DIR}/KorvelEngineConfig.cmake"
  INSTALL_DESTINATION lib/cmake/KorvelEngine)
write_basic_package_version_file("${PROJECT_BINARY_DIR}/KorvelEngineConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/KorvelEngineConfig.cmake" "${PROJECT_BINARY_DIR}/KorvelEngineConfigVersion.cmake"
  DESTINATION lib/cmake/KorvelEngine)
configure_file(cmake/korvel-engine.pc.in "${PROJECT_BINARY_DIR}/korvel-engine.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/korvel-engine.pc" DESTINATION lib/pkgconfig)
