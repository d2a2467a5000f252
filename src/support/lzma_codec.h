// One-call LZMA (LZMA1) encoding and decoding over the LZMA SDK, with explicit
// 5-byte properties and no end marker.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/fault.h"

inline constexpr size_t kLzmaPropsSize = 5;

// Faults: malformed data, truncated input (it ends before the output is full), unsupported
// properties, out_of_memory; too_large when the encoder's output does not fit.

// Decodes until `*dest_len` bytes are produced (no end marker needed) or an end
// marker is met. On return `*dest_len` and `*src_len` hold the bytes produced and
// consumed.
Fault lzma_uncompress(uint8_t* dest, size_t* dest_len, const uint8_t* src, size_t* src_len, const uint8_t* props,
                      size_t props_size);

// As lzma_uncompress, for a caller that only knows an upper bound (`limit`) of the output:
// the output block starts small and grows while the data keeps producing bytes, so a
// header that claims far more than the data holds costs nothing. On return *dest is a
// malloc'd block the caller frees (null on failure) and *dest_len the bytes produced.
// Fault::out_of_memory when the block cannot grow.
Fault lzma_uncompress_growing(uint8_t** dest, size_t* dest_len, size_t limit, const uint8_t* src, size_t* src_len,
                              const uint8_t* props, size_t props_size);

// Encodes without an end marker. `out_props` receives the properties (5 bytes).
Fault lzma_compress(uint8_t* dest, size_t* dest_len, const uint8_t* src, size_t src_len, uint8_t* out_props,
                    size_t* out_props_size, int level, uint32_t dict_size, int lc, int lp, int pb, int fb,
                    int num_threads);

// The LZMA SDK's own result code for a fault (SZ_OK, SZ_ERROR_DATA, ...): the number the
// lines reporting a failed decode show.
int lzma_code(Fault fault);
