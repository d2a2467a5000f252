// Byte <-> printable text: base64 (standard alphabet, strict decoder), base32 (lower-case
// alphabet, forgiving decoder) and a short hex dump for eyeballing buffers.
// The coders never allocate: every output buffer belongs to the caller, who gives its
// capacity in bytes. Capacities above INT_MAX are used as INT_MAX so counts fit the result.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the base64 text of `data` followed by a NUL. Returns the number of characters
// (NUL not counted), or -1 when the text and its NUL do not fit `capacity`.
int base64_encode(const uint8_t* data, unsigned length, char* out, size_t capacity);

// Decodes NUL-terminated base64 text; white space is skipped anywhere. Returns the number
// of bytes, or -1 for malformed text (bad character, group cut short, wrong padding,
// non-zero unused bits, anything but white space after the padding) or an output that
// does not fit. A partial last group needs one spare byte, as it is built in place.
// With a null `out` it only counts (and still checks the whole text).
int base64_decode(const char* text, uint8_t* out, size_t capacity);

// Decodes base32 text in either case, skipping tab, CR, LF, space and '-', and reading
// '0', '1', '8' as 'O', 'L', 'B'. Stops at the NUL or when `capacity` bytes are written;
// leftover bits (fewer than eight) are dropped. A NUL follows the bytes when there is
// room. Returns the number of bytes, or -1 for a character outside the accepted set.
int base32_decode(const char* text, uint8_t* out, size_t capacity);

// Encodes `data` with the alphabet "abcdefghijklmnopqrstuvwxyz234567", no padding.
// Stops when `capacity` characters are written; a NUL follows when there is room, so a
// result equal to `capacity` means the text was cut. Returns the number of characters,
// or -1 for a length below 0 or above 2^28.
int base32_encode(const uint8_t* data, int length, char* out, size_t capacity);

// Prints the first min(length, 50) bytes as "%02X " to standard output, with an extra
// space before each group of eight, then a line feed.
void hex_dump(const uint8_t* data, size_t length);
