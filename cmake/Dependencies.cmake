# The system packages the engine and its tests build against, each found once.
find_package(PkgConfig REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample libswscale)
pkg_check_modules(VIPS REQUIRED IMPORTED_TARGET vips-cpp)
pkg_check_modules(ZIMG REQUIRED IMPORTED_TARGET zimg)
pkg_check_modules(TBB REQUIRED IMPORTED_TARGET tbb)
# Vector kernels of the per-pixel passes, chosen for the processor at run time.
pkg_check_modules(HWY REQUIRED IMPORTED_TARGET libhwy)
pkg_check_modules(TEXTLIBS REQUIRED IMPORTED_TARGET freetype2 harfbuzz)
# Resampling, morphology, the guided filter and BRISQUE.
pkg_check_modules(OPENCV REQUIRED IMPORTED_TARGET opencv4)
# Downloads and model archives.
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(ARCHIVE REQUIRED IMPORTED_TARGET libarchive)
