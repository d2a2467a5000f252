# libdeflate for the Windows cross build. Debian packages it for Linux only, so the build
# compiles Debian's source package into a static library (the .exe then needs no DLL of it).
# The source is fetched once with `apt-get source libdeflate` (scripts/install-deps.sh
# windows adds the deb-src entry that needs) and unpacked, with Debian's patches, under the
# build tree; a LIBDEFLATE_SOURCE_DIR given on the command line is used instead.
set(LIBDEFLATE_FETCH_DIR ${CMAKE_BINARY_DIR}/libdeflate-source)
if(NOT LIBDEFLATE_SOURCE_DIR)
  file(GLOB found ${LIBDEFLATE_FETCH_DIR}/libdeflate-*/libdeflate.h)
  if(NOT found)
    message(STATUS "Fetching Debian's libdeflate source package into ${LIBDEFLATE_FETCH_DIR}")
    file(MAKE_DIRECTORY ${LIBDEFLATE_FETCH_DIR})
    execute_process(COMMAND apt-get source libdeflate WORKING_DIRECTORY ${LIBDEFLATE_FETCH_DIR}
                    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
    file(GLOB found ${LIBDEFLATE_FETCH_DIR}/libdeflate-*/libdeflate.h)
    if(NOT status EQUAL 0 OR NOT found)
      message(FATAL_ERROR "apt-get source libdeflate failed:\n${output}\nRun scripts/install-deps.sh windows "
                          "(it adds the deb-src entry and dpkg-dev), set LIBDEFLATE_SOURCE_DIR to an unpacked "
                          "libdeflate source, or configure with -DPIXSIEVE_LIBDEFLATE=OFF (zlib alone).")
    endif()
  endif()
  list(GET found 0 found)
  get_filename_component(found ${found} DIRECTORY)
  set(LIBDEFLATE_SOURCE_DIR ${found} CACHE PATH "Unpacked libdeflate source the cross build compiles")
endif()

# The library's own source list (its Makefile's LIB_SRC): compression, decompression, the
# zlib and gzip wrappers and the run-time CPU feature checks that pick the SIMD routines.
set(LIBDEFLATE_SOURCES deflate_compress.c deflate_decompress.c zlib_compress.c zlib_decompress.c
    gzip_compress.c gzip_decompress.c adler32.c crc32.c utils.c x86/cpu_features.c arm/cpu_features.c)
list(TRANSFORM LIBDEFLATE_SOURCES PREPEND ${LIBDEFLATE_SOURCE_DIR}/lib/)
foreach(source ${LIBDEFLATE_SOURCES})
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "${source} not found: LIBDEFLATE_SOURCE_DIR must hold an unpacked libdeflate source")
  endif()
endforeach()
add_library(libdeflate_static STATIC ${LIBDEFLATE_SOURCES})
target_include_directories(libdeflate_static PUBLIC ${LIBDEFLATE_SOURCE_DIR})
# Its Makefile's flags; its warnings are not ours to stop the build on.
set_target_properties(libdeflate_static PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(libdeflate_static PRIVATE -O2 -fomit-frame-pointer -w)
target_compile_definitions(libdeflate_static PRIVATE _ANSI_SOURCE)
