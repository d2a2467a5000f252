// One-call writers for uncompressed true-colour TGA images and PCM WAV files.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes `width` x `height` pixels of `components` bytes each (1 grey, 2 grey+alpha,
// 3 RGB, 4 RGBA; rows top to bottom) as a type-2 TGA, bottom row first, with RGB(A)
// stored as BGR(A). Width and height must be 1..65535 and the pixel bytes below 1 GiB.
// 1 when the whole file was written and closed, 0 otherwise.
int tga_write(const char* path, const uint8_t* pixels, int width, int height, int components);

// Writes a canonical 44-byte-header PCM WAV around `data_size` bytes of samples,
// stored unchanged. Channels 1..65535, 8/16/24/32 bits per sample, a positive rate,
// whole sample frames only and less than 1 GiB of data.
// 1 when the whole file was written and closed, 0 otherwise.
int wav_write(const char* path, int channels, int bits_per_sample, int sample_rate, const void* samples,
              size_t data_size);
