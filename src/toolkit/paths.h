// Taking paths apart, the program's own folder, and folder listings (optionally recursive).
// Paths are NUL-terminated byte strings in the ANSI code page (GBK); two-byte characters
// are stepped over whole, so a trail byte is never mistaken for a separator or a dot.
// The separator is the platform's kPathSeparator.
#pragma once

#include <cstddef>

// Path buffers hold 259 characters and the NUL; longer full paths are not listed.
inline constexpr size_t kPathBufferSize = 260;

// The path functions below look for a separator or a dot only before the last character
// (a final one is never taken). Each writes its result and a NUL into `out`, returns 0,
// or returns -1 and leaves `out` untouched when the result does not fit `out_size`.
// `out` may be the same buffer as `path`.

// The text after the last separator, or the whole path ("a/b/c.swf" -> "c.swf").
int path_file_name(char* out, size_t out_size, const char* path);
// The text before the last dot, or the whole path; the search crosses separators, so
// "ver1.2/movie" -> "ver1" ("movie." stays, ".swf" -> "").
int path_strip_ext(char* out, size_t out_size, const char* path);
// The text after the last dot; without a dot, after the last separator; else the path.
int path_ext_or_name(char* out, size_t out_size, const char* path);

// `path` relative to `base`: "./x" (or ".\x" where that is the separator) gives "x" whatever
// the base; otherwise the path must start with the base followed by a separator (or end
// there, giving ""; a base that ends with a separator needs none). -1 when the path is
// not under the base or the result does not fit.
int path_strip_base(const char* base, const char* path, char* out, size_t out_size);

// The folder of the program file, without a trailing separator; found on the first call
// and kept for the process's lifetime. Empty when the system does not tell it.
const char* exe_dir();
// Makes exe_dir() the current folder: non-zero on success.
int chdir_exe_dir();

// Windows-style wildcard match: '*' any run, '?' one character, case ignored for ASCII
// letters, and a trailing ".*" also matches a name without a dot ("*.*" matches all).
bool path_match_pattern(const char* pattern, const char* name);

// Listings store newly malloc'd full paths at list[start], list[start + 1], ... never at
// or past list[capacity], and return how many they stored (0 when the search fails).
// The caller frees each string. Entries come in case-insensitive name order.
//
// list_files: entries matching the pattern ("*.txt", "sub/*.*", relative to the current
// folder) that are neither folders nor hidden. list_dirs: folders matching the pattern
// whose name neither starts with "." nor has "." as its second character.
int list_files(const char* pattern, char** list, int start, int capacity);
int list_dirs(const char* pattern, char** list, int start, int capacity);

// Every folder under `root` (list_dirs filter), each followed by its own subfolders.
// Folders that cannot be entered are listed but not walked; symbolic links to folders
// are neither listed nor entered. The current folder is changed during the walk and
// always restored.
int list_dirs_tree(const char* root, char** list, int start, int capacity);
// The files of `root` (list_files filter), then those of each folder list_dirs_tree
// finds there (up to 5,120 folders), in that order. Restores the current folder.
int list_files_tree(const char* root, char** list, int start, int capacity);
