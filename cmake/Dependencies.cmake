# Third-party dependencies. Debian's packages provide Highway, FFmpeg, FFTW, stb,
# GoogleTest and Google Benchmark; ONNX Runtime comes from the prefix that
# scripts/setup fills (.deps/onnxruntime), or from LE_ORT_ROOT.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(HWY REQUIRED IMPORTED_TARGET libhwy)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswscale libswresample)
# Single-precision FFTW for the motion generator's log-mel front end.
pkg_check_modules(FFTW REQUIRED IMPORTED_TARGET fftw3f)

find_path(STB_INCLUDE_DIR stb_image.h PATH_SUFFIXES stb REQUIRED)

set(LE_ORT_ROOT "${CMAKE_CURRENT_SOURCE_DIR}/.deps/onnxruntime" CACHE PATH
    "Prefix holding include/onnxruntime_cxx_api.h and lib/libonnxruntime.so.1")
find_path(ORT_INCLUDE_DIR onnxruntime_cxx_api.h PATHS "${LE_ORT_ROOT}/include" NO_DEFAULT_PATH)
find_library(ORT_LIBRARY NAMES onnxruntime PATHS "${LE_ORT_ROOT}/lib" NO_DEFAULT_PATH)
if(NOT ORT_INCLUDE_DIR OR NOT ORT_LIBRARY)
  message(FATAL_ERROR "ONNX Runtime not found under ${LE_ORT_ROOT}; run scripts/setup first")
endif()
add_library(le_onnxruntime SHARED IMPORTED)
set_target_properties(le_onnxruntime PROPERTIES
  IMPORTED_LOCATION "${ORT_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${ORT_INCLUDE_DIR}")
