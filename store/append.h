// Appends to line files: one line and its newline in one write. While other
// processes may append too (block children run, or the loop keeps nothing),
// the write is made under an exclusive flock of the file, which is closed
// within the call; otherwise it goes through the loop's kept descriptor
// (store/file_cache.h). A write that fails part-way is cut back to where the
// line began before anyone else can append (under the lock, or by the only
// writer), so no later line is ever glued to a fragment, and another
// writer's line is never split.
#pragma once

#include <cstddef>
#include <sys/types.h>
#include <vector>

#include "base/format.h"
#include "base/owners.h"

// Appends line and '\n' to dir/name (created if missing, mode 0666 less the
// umask) in one write, closed within the call unless the loop keeps it open.
// -1 when the joined path does not fit 512 bytes, the file cannot be opened,
// or the write (or a plain append's close) fails.
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

// The appends one request made, so that a request refused after some of its
// writes can take them back. While a log lives it records every successful
// append of this process (logs nest: the innermost one records).
class append_log {
 public:
  append_log();
  ~append_log();
  append_log(const append_log&) = delete;
  append_log& operator=(const append_log&) = delete;

  // Cuts every recorded append back, newest first, where its file still ends
  // with it (another writer's later line is never cut). Those taken back are
  // forgotten, the others stay recorded; true when every one was taken back.
  bool undo();
  // The same for the appends to files outside folder only: those inside it
  // stay recorded (and written).
  bool undo_outside(const char* folder);
  std::size_t size() const { return entries_.size(); }

  struct entry {
    char path[fmt::path_size];
    off_t begin, end;
    bool created;  // the append made the file
  };
  void note(const char* path, off_t begin, off_t end, bool created);
  const std::vector<entry>& entries() const { return entries_; }

 private:
  std::vector<entry> entries_;
  append_log* outer_;
};

// Cuts path back to begin when, under its lock, it still ends at end (a file
// the append made is removed instead); true when it was taken back.
bool cut_back_append(const char* path, off_t begin, off_t end, bool created);
