// Appends to line files: one line and its newline in one write, the file
// closed within the call, so killing the process leaves no torn line and
// another writer's line is never split.
#pragma once

#include "base/owners.h"

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

// A file that one operation reads and then appends to goes through one
// descriptor, opened for reading and appending but never created: an empty
// owner when the file is missing or cannot be opened so (callers then use
// the path readers of store/lines.h, which tell the cases apart).
unique_fd open_for_update(const char* path);
// Appends line and '\n' in one write and closes fd; append_written, or
// append_failed when the write or the close fails.
int append_line_and_close(unique_fd fd, const char* line);
