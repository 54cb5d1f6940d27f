// Line files: records of KEY=value& fields, one per line, appended; the last
// line for a key is its current version.
#pragma once
#include <cstddef>

// "DATE=YYYYMMDD-hh:mm:ss&" in local time into out[24]; 0. When the clock
// cannot be read: "NULL" and -1.
int get_time(char* out);
// Appends line and '\n' to dir/name (created if missing), flushed and closed
// within the call. -1 when the file cannot be opened or written.
int add_text_line(const char* dir, const char* name, const char* line);
// The same for a complete path.
int add_string_to_file(const char* path, const char* line);

// Results of the readers below.
inline constexpr int line_found = 0;
inline constexpr int line_no_file = -1;  // cannot be opened
inline constexpr int line_none = -2;     // no (matching) line

// The last line of the file, without its newline, into out[cap] (cut to fit
// cap). Found from the end of the file: the cost does not grow with the file.
int read_last_line(const char* path, char* out, std::size_t cap);
// The last line that contains needle anywhere, found from the end likewise.
// The match includes the line's newline, as a line read with fgets would.
int read_last_line_containing(const char* path, const char* needle, char* out, std::size_t cap);
// The first line without its newline.
int read_first_line(const char* path, char* out, std::size_t cap);
