// Allocation tracker: wrappers over malloc/calloc/realloc that remember every block they
// hand out, so suspicious code can check that a byte range lies inside a live-or-dead
// allocation. A debugging aid; the records are never removed.
#pragma once

#include <cstddef>

// Each returns a block recorded in the table (while it has room: 1,024 records, then new
// blocks go unrecorded silently). A size of 0 is served as 1 byte. Requests whose total
// reaches 1 GiB (count * size computed without overflow) are refused with null; any other
// allocation failure stops the program with "rv != NULL".
void* imalloc_calloc(size_t count, size_t size);
void* imalloc_malloc(size_t size);
void* imalloc_realloc(void* block, size_t size);  // the resized block gets a new record
void imalloc_free(void* block);                   // its record stays in place

// 0 when [start, start + length) lies inside one recorded block; otherwise prints
// "[DEBUG] ../src/imalloc:<line> <imalloc_notfound>: not found:<start>,size=<length>"
// (start as a signed decimal of pointer width) and returns 1.
int imalloc_check(const void* start, size_t length);

// Forgets every record, so a test or a new session starts from an empty table.
void imalloc_reset();
