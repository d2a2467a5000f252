// The file names of a movie's bitmaps: the class name (else the id) as the file system can
// hold it, made safe for the output folder, and never the name of another bitmap's file.
#pragma once

#include <cstdint>
#include <set>
#include <string>

struct Swf;

// The file names given out in one output folder, compared the way the file system
// compares them (on Windows "A.png" and "a.png" are one file).
class FileNameClaims {
public:
    // True, and remembered, when no earlier claim names the same file.
    bool claim(const std::string& file_name);
    void clear() { keys_.clear(); }

private:
    std::set<std::string> keys_;
};

// The class name the movie gives the character, bytes as stored; null when it gives none.
const char* swf_class_name(const Swf* swf, uint16_t id);

// The class name the movie gives the character, bytes as stored, else its decimal id.
std::string swf_symbol_name(const Swf* swf, uint16_t id);

// Replaces the bytes the file system refuses in a name (separators included) by "_" and
// puts "_" before a device name.
std::string sanitize_file_name(std::string name);

// "<folder>/<name><extension>" for one bitmap. The class name keeps every character (on
// Windows a byte that is not well-formed UTF-8 becomes "_") and is made safe by sanitize_file_name,
// so no name reaches outside the folder. A name too long for the file system, or one that
// an earlier bitmap of the movie already took, gives way to the id, with a line. Empty
// when the path does not fit the platform's path limit.
std::string bitmap_file_path(Swf* swf, const std::string& folder, uint16_t id, uint8_t by_name, const char* extension);
