// Record files kept open between requests, with their size and last bytes.
//
// Most requests read the last line of one or two small files and append a
// line to a few others; opening, reading and closing them each time costs
// more than the rest of the request. The server's loop is their only writer
// while no child process runs, so it keeps a descriptor, the size and the
// last kept_tail bytes of the files it used last, and updates them with its
// own appends. Every other change the store makes to a file (rename over it,
// rewrite, cut back, removal) forgets the file. Changes by other processes
// (block children, an operator's editor) are told by inotify: a kept file
// written and closed, renamed over, removed or moved is forgotten before the
// next request looks at it (one non-blocking read per request that uses a
// kept file). Besides, a file kept since an earlier turn of the loop is
// checked against its name once per turn (one stat: the same file, the same
// size), which also catches a folder above it moved away. The cache is off
// until the loop switches it on: tests and tools that call the store
// directly see plain reads and writes.
#pragma once
#include <cstddef>
#include <string_view>
#include <sys/types.h>

// At most this many files are kept open (the loop keeps room for them).
inline constexpr std::size_t kept_files_max = 64;
// Bytes kept of a file's end; a file no larger is kept whole.
inline constexpr std::size_t kept_tail = 8192;

// Keeps up to files files (at most kept_files_max) from now on; 0 switches
// keeping off. Whatever was kept is closed.
void file_cache_enable(std::size_t files);
// The number given to the last file_cache_enable.
std::size_t file_cache_capacity();
// A new turn of the loop: kept files are checked against their names again.
void file_cache_next_turn();
// A new request: the change notices are read before its first look at a
// kept file.
void file_cache_next_request();
// Closes everything kept: after a child process changed files, around a
// request that rewrites the trees.
void file_cache_clear();
// In a forked child whose descriptors were closed for it: forgets the kept
// files without closing anything and stays off.
void file_cache_abandon();
// While other processes may append to the same files (children run), the
// loop's appends take the file's lock and go the plain way.
void file_cache_set_other_writers(bool others);
// Forgets path (closed): the store changed it other than by an append here.
void file_cache_forget(const char* path);

// What is kept of a file.
struct kept_file {
  int fd = -1;
  off_t size = 0;
  off_t tail_begin = 0;   // file offset of tail[0]
  std::string_view tail;  // the file's bytes [tail_begin, size)
};

enum class kept_look {
  off,      // not kept now (cache off, no descriptor to spare, a read error): go the plain way
  no_file,  // no regular file by that name, or it cannot be read
  found,
};
// The kept state of path, opened and read now if it was not kept. Valid
// until the next call into the cache.
kept_look file_cache_look(const char* path, kept_file& out);

// For an append: the kept descriptor of path, made when missing (created
// tells); begin is where the line will start. off when appends go the plain
// way now, no_file when the file cannot be opened for appending.
kept_look file_cache_for_append(const char* path, int& fd, off_t& begin, bool& created);
// After a whole append of data[n] through that descriptor.
void file_cache_appended(const char* path, const char* data, std::size_t n);
