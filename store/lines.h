// Line files: records of KEY=value& fields, one per line, appended; the last
// line for a key is its current version.
#pragma once
#include <cstddef>
#include <ctime>

#include "base/owners.h"

// "DATE=YYYYMMDD-hh:mm:ss&" in local time into out[24]; 0. When the clock
// cannot be read: "NULL" and -1.
int get_time(char* out);
// The DATE field of the broken-down time t into out[24]; 0, or "NULL" and -1
// when it would not fit (a year past 9999).
int format_date_field(const std::tm& t, char* out);
// Appends line and '\n' to dir/name (created if missing, mode 0666 less the
// umask) in one write, closed within the call. -1 when the joined path does
// not fit 512 bytes, the file cannot be opened, or the write or close fails.
int add_text_line(const char* dir, const char* name, const char* line);
// The same for a complete path.
int add_string_to_file(const char* path, const char* line);

// Outcome of append_line: the file could not be opened (nothing written), or
// it was opened and the line was written or the write failed.
inline constexpr int append_written = 0;
inline constexpr int append_not_opened = -1;
inline constexpr int append_failed = -2;
// add_string_to_file, telling a file that cannot be opened from a failed write.
int append_line(const char* path, const char* line);

// add_string_to_file for a file whose folders may be missing: the append is
// tried first, and only when the file cannot be opened does make_dirs() run
// before one more try. Folders that exist, as they do for nearly every
// append, are not asked for again; a failed write is never repeated.
template <class MakeDirs>
int add_string_making_dirs(const char* path, const char* line, MakeDirs&& make_dirs) {
  int rc = append_line(path, line);
  if (rc == append_not_opened) {
    make_dirs();
    rc = append_line(path, line);
  }
  return rc == append_written ? 0 : -1;
}

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

// A file that one operation reads and then appends to goes through one
// descriptor, opened for reading and appending but never created: an empty
// owner when the file is missing or cannot be opened so (callers then use
// the path functions above, which tell the cases apart).
unique_fd open_for_update(const char* path);
// read_last_line_containing and read_last_line on such a descriptor.
int read_last_line_containing_at(int fd, const char* needle, char* out, std::size_t cap);
int read_last_line_at(int fd, char* out, std::size_t cap);
// Appends line and '\n' in one write and closes fd; append_written, or
// append_failed when the write or the close fails.
int append_line_and_close(unique_fd fd, const char* line);
