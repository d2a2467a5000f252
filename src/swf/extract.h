// Writing the bitmaps of a loaded movie into its "<movie>_res" folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/debug.h"
#include "swf/bitmap_format.h"
#include "swf/naming.h"  // the file names of the bitmaps
#include "swf/swf.h"

struct ImageContext;
struct BitmapSelection;

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
    const SwfTag* tag;        // a bitmap tag, or DefineBinaryData holding a picture file
    BitmapFacts facts;        // what the header tells
    const char* class_name;   // as stored; null when the movie gives none
    std::string path;         // the file; empty when the bitmap is refused before naming or the path is too long
    DebugLines naming_lines;  // what naming said; printed when the bitmap reaches its file
    BitmapHeader header{};    // the tag's header, read once by the plan for the worker
    bool selected = true;
};

// DefineBinaryData holding a movie: extracted like one, into a folder inside its holder's.
struct InnerMovie {
    uint16_t id;
    std::span<const uint8_t> data;
    std::string folder;  // "<holder's folder>/<name or id>.swf_res"; empty when the path is too long
    DebugLines naming_lines;
};

struct ExtractPlan {
    Swf* swf;                              // null for an inner movie that did not load
    std::string folder;                    // the folder's path, as the files' paths and the lines spell it
    std::span<const uint8_t> jpeg_tables;  // the movie's JPEGTables body; empty without one
    std::vector<BitmapPlan> bitmaps;       // in tag order
    std::vector<InnerMovie> inner;         // in tag order
    std::string label;                     // the movie's path; "<holder>#<id>" for an inner movie
    size_t holder;                         // an inner movie's holder in ExtractTree::movies
    DebugLines lead_lines;                 // an inner movie's heading and loading lines
    OutputFolder output;                   // the folder itself (swf_open_folders); the files are made in it
};

ExtractPlan swf_extract_plan(Swf* swf, const std::string& folder, uint8_t by_name);

// Movies inside movies are read this many levels deep.
inline constexpr int kMaxMovieNesting = 4;

// What extraction does for one movie file, step by step in output order: for the file, then
// for each inner movie after its holder (depth first), its lead lines (inner movies only),
// its selected bitmaps and its closing line.
struct ExtractStep {
    enum class Kind : uint8_t { lead, bitmap, done } kind;
    size_t movie;   // in ExtractTree::movies
    size_t bitmap;  // in that movie's bitmaps
};

struct ExtractTree {
    std::vector<SwfPtr> inner_swfs;   // the inner movies, loaded from their holders' bytes
    std::vector<ExtractPlan> movies;  // the file first
    std::vector<ExtractStep> steps;
    std::vector<bool> matched;  // per selector: whether it took a bitmap anywhere
    size_t selected = 0;        // bitmaps selected over all movies
};

// Plans the file and every movie inside it (at most kMaxMovieNesting levels, all bodies
// together within the buffer limit), naming every bitmap before the selection narrows them,
// so a file's name never depends on the selection. An inner movie that does not load is one
// problem line. `swf` must outlive the tree.
ExtractTree swf_extract_tree(Swf* swf, const std::string& folder, uint8_t by_name, const BitmapSelection& selection);

// Gives the tree its open folders: `top` (opened by the caller; not open when it could not
// be used) to the file, and to each inner movie with a bitmap to write its folder inside its
// holder's, made when missing, never through a link. A folder that cannot be used is one
// line; the bitmaps of its movie, and of the movies inside it, then count as not written,
// without a line each.
void swf_open_folders(ExtractTree* tree, OutputFolder top);

enum class BitmapOutcome { written, skipped, write_failed, none };

// Decodes, encodes and writes bitmap `index` of the plan, printing its lines.
BitmapOutcome swf_extract_bitmap(const ExtractPlan& plan, size_t index, ImageContext* images);
// Runs one step of the tree: prints lead or closing lines, or extracts a bitmap (none for
// the others).
BitmapOutcome swf_extract_step(const ExtractTree& tree, size_t step, ImageContext* images);

// Prints the line that closes a movie's extraction.
void swf_extract_done();

void add_outcome(ExtractCounts* counts, BitmapOutcome outcome);

// Walks the tag list and writes every bitmap it can into `folder` (its last name made
// unless it exists, never entered through a link), then those of the movies inside it; by_name selects class names
// (else ids) for the files. Prints "------------swf_saveimg done--------------" after each
// movie.
ExtractCounts swf_extract(Swf* swf, const std::string& folder, uint8_t by_name);

// swf_extract into the folder beside the movie ("<movie>_res").
void swf_saveimg(Swf* swf, uint8_t by_name);
