// The head of a record file in one read.
//
// Most record files hold a few lines: open, one read of the first window,
// close, with no status call and no stream; a file the loop keeps open
// (store/file_cache.h) is read from what is kept.
#pragma once
#include <cstddef>
#include <sys/types.h>

// Reads up to cap bytes from the start of path into buf: the count read, the
// whole file when it is smaller than cap. -1 when the file cannot be opened,
// or read as a file (a folder). Opened non-blocking, so a pipe in a file's
// place reads as empty or fails instead of holding the caller up.
ssize_t read_file_head(const char* path, char* buf, std::size_t cap);
