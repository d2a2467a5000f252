# The tests, the sample and corpus generators and the benchmarks (PIXSIEVE_TESTS=ON).

# Test sources that start the built programs. On Linux they form their own binary, whose
# tests carry the ctest label "programs"; make test-windows runs that label against the
# .exe files under wine.
set(PROGRAM_TEST_SOURCES
  tests/cli_inspect_test.cpp
  tests/cli_jobs_test.cpp
  tests/cli_options_test.cpp
  tests/cli_progress_test.cpp
  tests/cli_test.cpp
  tests/edit_cli_test.cpp
  tests/extract_test.cpp
  tests/readme_test.cpp
  tests/windows_cli_test.cpp)

# Unit tests left out of the Windows unit-test binary, each with its reason. Every other
# *_test.cpp is built into it, so a new test runs under wine unless it is named here.
set(NOT_IN_WINDOWS_UNIT_TESTS
  src/codec/codec_threads_test.cpp  # libpng and libjpeg oracles
  src/codec/image_test.cpp          # libpng and libjpeg oracles: no mingw builds
  src/codec/jpeg_decoder_test.cpp   # libjpeg oracle
  src/codec/jpeg_encoder_test.cpp   # libjpeg oracle
  src/codec/png_test.cpp            # libpng oracle
  src/platform/platform_test.cpp    # POSIX links, FIFOs, devices and modes (platform_win_test.cpp is its Windows side)
  src/swf/bitmap_format_test.cpp    # libjpeg oracle
  src/swf/edit_test.cpp             # libpng and libjpeg oracles
  src/text/charset_test.cpp         # glibc iconv oracle
  src/toolkit/gif_writer_test.cpp   # giflib oracle, /dev/full
  src/toolkit/paths_test.cpp        # POSIX file modes and links
  src/toolkit/tga_wav_test.cpp      # /dev/full
  tests/fuzz_regression_test.cpp    # the fuzz targets are POSIX-only
  tests/hostile_test.cpp            # starts the Linux program
  tests/memory_test.cpp             # resource limits: POSIX
  tests/safety_test.cpp)            # links, FIFOs, devices and resource limits: POSIX

# GoogleTest: Debian's binaries natively; for the cross compiler, which has none, Debian's
# sources (package googletest) built here.
if(CMAKE_CROSSCOMPILING)
  find_path(GOOGLETEST_SOURCE_DIR NAMES src/gtest-all.cc
    HINTS /usr/src/googletest/googletest /usr/src/gtest NO_CMAKE_FIND_ROOT_PATH)
  if(NOT GOOGLETEST_SOURCE_DIR)
    message(FATAL_ERROR "GoogleTest sources not found: install the Debian package googletest, "
                        "or configure with -DPIXSIEVE_TESTS=OFF")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  pixsieve_find(GTest "libgtest-dev (or configure with -DPIXSIEVE_TESTS=OFF)")
endif()

# SWF builder and seed media: shared by the tests and the generators, no test framework.
add_library(pixsieve_swfkit STATIC tests/kit/swf_builder.cpp tests/kit/seed_media.cpp)
target_include_directories(pixsieve_swfkit PUBLIC tests/kit)
pixsieve_warnings(pixsieve_swfkit)
target_link_libraries(pixsieve_swfkit PUBLIC pixsieve_core)

# The test helpers proper: temporary folders, output capture, running the programs.
add_library(pixsieve_testkit STATIC tests/kit/test_util.cpp tests/kit/capture.cpp tests/kit/load_util.cpp)
pixsieve_warnings(pixsieve_testkit)
target_link_libraries(pixsieve_testkit PUBLIC pixsieve_swfkit pixsieve_text GTest::gtest)
if(NOT CMAKE_CROSSCOMPILING)
  target_compile_definitions(pixsieve_testkit PRIVATE
    PIXSIEVE_BIN="$<TARGET_FILE:pixsieve>" PIXSIEVE_EDIT_BIN="$<TARGET_FILE:pixsieve-edit>")
endif()

# One test binary with the common settings.
function(pixsieve_test_binary target)
  add_executable(${target} ${ARGN})
  pixsieve_warnings(${target})
  # GCC 12 reports false out-of-bounds copies in std::vector::insert at -O2 (GCC bug 107852).
  target_compile_options(${target} PRIVATE -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread)
  target_compile_definitions(${target} PRIVATE PIXSIEVE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_include_directories(${target} PRIVATE tests)
  target_link_libraries(${target} PRIVATE pixsieve_testkit pixsieve_toolkit pixsieve_text GTest::gtest GTest::gtest_main)
endfunction()

file(GLOB_RECURSE TEST_SOURCES CONFIGURE_DEPENDS src/*_test.cpp tests/*_test.cpp)
list(TRANSFORM PROGRAM_TEST_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)
list(TRANSFORM NOT_IN_WINDOWS_UNIT_TESTS PREPEND ${CMAKE_SOURCE_DIR}/)
list(REMOVE_ITEM TEST_SOURCES ${PROGRAM_TEST_SOURCES})

if(CMAKE_CROSSCOMPILING)
  # The Windows unit tests; make test-windows runs them under wine.
  list(REMOVE_ITEM TEST_SOURCES ${NOT_IN_WINDOWS_UNIT_TESTS})
  pixsieve_test_binary(pixsieve_tests ${TEST_SOURCES})
  return()
endif()
list(FILTER TEST_SOURCES EXCLUDE REGEX "_win_test\\.cpp$")

# The tests of the code that threads share form a binary of their own on Linux, so that
# make test-tsan builds just these under ThreadSanitizer.
set(THREAD_TEST_SOURCES src/cli/scheduler_test.cpp src/codec/codec_threads_test.cpp)
list(TRANSFORM THREAD_TEST_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)
list(REMOVE_ITEM TEST_SOURCES ${THREAD_TEST_SOURCES})

add_executable(make-sample samples/make_sample.cpp)
pixsieve_warnings(make-sample)
target_link_libraries(make-sample PRIVATE pixsieve_swfkit)

add_executable(make-corpus fuzz/make_corpus.cpp)
pixsieve_warnings(make-corpus)
target_link_libraries(make-corpus PRIVATE pixsieve_swfkit)

enable_testing()
pixsieve_find(PNG libpng-dev)    # test oracle only
pixsieve_find(JPEG libjpeg-dev)  # test oracle only
pixsieve_find(GIF libgif-dev)    # test oracle only
include(GoogleTest)

# The unit tests. The fuzz targets join them: a test replays the stored inputs through them.
file(GLOB FUZZ_TARGET_SOURCES CONFIGURE_DEPENDS fuzz/*_fuzz.cpp)
pixsieve_test_binary(pixsieve_tests ${TEST_SOURCES} ${FUZZ_TARGET_SOURCES} fuzz/fuzz_util.cpp)
target_compile_definitions(pixsieve_tests PRIVATE PIXSIEVE_FUZZ_IN_TESTS)
target_include_directories(pixsieve_tests PRIVATE fuzz)
target_link_libraries(pixsieve_tests PRIVATE PNG::PNG JPEG::JPEG GIF::GIF)
add_dependencies(pixsieve_tests pixsieve pixsieve-edit)
gtest_discover_tests(pixsieve_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS unit)

pixsieve_test_binary(pixsieve_thread_tests ${THREAD_TEST_SOURCES})
target_link_libraries(pixsieve_thread_tests PRIVATE PNG::PNG JPEG::JPEG)
add_dependencies(pixsieve_thread_tests pixsieve pixsieve-edit)
gtest_discover_tests(pixsieve_thread_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS threads)

# The tests that start the programs.
pixsieve_test_binary(pixsieve_program_tests ${PROGRAM_TEST_SOURCES})
target_link_libraries(pixsieve_program_tests PRIVATE PNG::PNG JPEG::JPEG)
add_dependencies(pixsieve_program_tests pixsieve pixsieve-edit)
gtest_discover_tests(pixsieve_program_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS programs)

if(PIXSIEVE_BENCH)
  add_subdirectory(bench)
endif()
