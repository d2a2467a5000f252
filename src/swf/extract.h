// Writing the bitmaps of a loaded movie into its "<movie>_res" folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/debug.h"
#include "swf/naming.h"  // the file names of the bitmaps

struct Swf;
struct SwfTag;
struct ImageContext;

struct ExtractCounts {
    uint32_t written = 0;        // files written
    uint32_t skipped = 0;        // bitmaps refused for bad data
    uint32_t failed_writes = 0;  // bitmaps whose file could not be written
};

// Extraction runs in two steps. The plan walks the tags in order on one thread and names
// every bitmap's file, so names never depend on which bitmap finishes first. The work on
// each bitmap (decode, encode, write) then reads only the movie and its plan and may run on
// any thread, each with its own ImageContext; the movie must outlive the plan.
//
// What naming prints is kept in the plan and printed where the bitmap reaches its file, so
// a bitmap's lines read as if it were named there. A bitmap its header already refuses
// claims no name; one whose data only turns out broken in the work does, so a later bitmap
// of the same class name is written under its id (with the line saying so). That is the
// one case where the names differ from naming at writing time.

struct BitmapPlan {
    const SwfTag* tag;
    std::string path;         // the file; empty when the bitmap is refused before naming or the path is too long
    DebugLines naming_lines;  // what naming said; printed when the bitmap reaches its file
};

struct ExtractPlan {
    Swf* swf;
    std::string folder;                    // the folder's path, as the files' paths and the lines spell it
    OutputFolder output;                   // the folder itself, opened by the caller; the files are made in it
    std::span<const uint8_t> jpeg_tables;  // the movie's JPEGTables body; empty without one
    std::vector<BitmapPlan> bitmaps;       // in tag order
};

ExtractPlan swf_extract_plan(Swf* swf, const std::string& folder, uint8_t by_name);

enum class BitmapOutcome { written, skipped, write_failed };

// Decodes, encodes and writes bitmap `index` of the plan, printing its lines.
BitmapOutcome swf_extract_bitmap(const ExtractPlan& plan, size_t index, ImageContext* images);

// Prints the line that closes a movie's extraction.
void swf_extract_done();

void add_outcome(ExtractCounts* counts, BitmapOutcome outcome);

// Walks the tag list and writes every bitmap it can into `folder` (its last name made
// unless it exists, never entered through a link; a folder that cannot be used is one
// line, and every bitmap counts as not written); by_name selects class names (else ids)
// for the files. Prints "------------swf_saveimg done--------------" last.
ExtractCounts swf_extract(Swf* swf, const std::string& folder, uint8_t by_name);

// swf_extract into the folder beside the movie ("<movie>_res").
void swf_saveimg(Swf* swf, uint8_t by_name);

// The class name the movie gives the character, else its decimal id.
std::string swf_symbol_name(const Swf* swf, uint16_t id);

// "<folder>/<name><extension>" for one bitmap, with the class name made a safe file
// name by sanitize_file_name so no name reaches outside the folder. A name too long
// for the file system falls back to the id, with a line. Empty when even that does
// not fit the platform's path limit.
std::string bitmap_file_path(const Swf* swf, const std::string& folder, uint16_t id, uint8_t by_name,
                             const char* extension);

// Replaces the bytes the file system refuses in a name (separators included) by "_",
// leaving the trail bytes of GBK pairs alone, and puts "_" before a device name.
std::string sanitize_file_name(std::string name);
