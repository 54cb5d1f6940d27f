// Line files: records of KEY=value& fields, one per line, appended; the last
// line for a key is its current version.
#pragma once
#include <cstddef>

// Results of the readers below.
inline constexpr int line_found = 0;
inline constexpr int line_no_file = -1;  // cannot be opened as a regular file, or read
inline constexpr int line_none = -2;     // no (matching) line

// The readers see a file exactly as a walk with fgets and a 512-byte buffer
// does: a line longer than 511 bytes (newline included) counts as pieces of
// 511. The text goes into out[cap] without its newline, cut to fit cap.

// The last line of the file. Found from the end of the file: the cost does
// not grow with the file.
int read_last_line(const char* path, char* out, std::size_t cap);
// The last line that contains needle anywhere, found from the end likewise.
// The match includes the line's newline, as a line read with fgets would; an
// empty needle matches the last line.
int read_last_line_containing(const char* path, const char* needle, char* out, std::size_t cap);
// The first line.
int read_first_line(const char* path, char* out, std::size_t cap);
