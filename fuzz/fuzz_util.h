// Shared set-up of the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Each target is written once and built twice: as a libFuzzer program, and into the
// test binary, whose regression test replays stored inputs through the same code. The body
// returns whether the code under test accepted the input (a movie loaded, a picture
// decoded, ...); the test checks that against the outcome recorded for each stored input.
#ifdef PIXSIEVE_FUZZ_IN_TESTS
#define FUZZ_TARGET(name)                                                                                              \
    static bool fuzz_accepts(const uint8_t* data, size_t size);                                                        \
    bool name##_fuzz_one(const uint8_t* data, size_t size) { return fuzz_accepts(data, size); }                        \
    static bool fuzz_accepts(const uint8_t* data, size_t size)
#define FUZZ_SETUP(name)
#else
#define FUZZ_TARGET(name)                                                                                              \
    static bool fuzz_accepts(const uint8_t* data, size_t size);                                                        \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)                                            \
    {                                                                                                                  \
        fuzz_accepts(data, size);                                                                                      \
        return 0;                                                                                                      \
    }                                                                                                                  \
    static bool fuzz_accepts(const uint8_t* data, size_t size)
#define FUZZ_SETUP(name)                                                                                               \
    extern "C" int LLVMFuzzerInitialize(int*, char***)                                                                 \
    {                                                                                                                  \
        fuzz_init();                                                                                                   \
        return 0;                                                                                                      \
    }
#endif

// Initialises the codecs and text tables and sends standard output (the debug lines)
// to /dev/null, so the fuzzer spends its time parsing rather than printing. In the
// test binary only the initialisation runs.
void fuzz_init();

// A private, empty scratch folder under /tmp for targets that write files; created on
// first use, emptied by fuzz_clean_scratch after every input so the disk never fills.
const std::string& fuzz_scratch();
void fuzz_clean_scratch();

struct Swf;

// Large lossless bitmaps cost seconds each under the sanitizers (a gibibyte of pixels
// from a few bytes is legal), which would starve the search; their tags are turned into
// tags the extractor passes over. The hostile-movie tests cover those sizes.
void fuzz_skip_huge_bitmaps(Swf* swf);
