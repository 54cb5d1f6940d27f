// Reads and writes that finish what they start: a call interrupted by a
// signal, or one that moved fewer bytes than asked, is continued.
#pragma once
#include <cstddef>
#include <string>
#include <sys/types.h>

// Where a write or read of the calls below goes when no offset is given: the
// descriptor's own position (for a file opened O_APPEND, its end).
inline constexpr off_t at_position = -1;

// Writes the n bytes at p at offset at (at_position: write at the
// descriptor's position); how many got out before an error or a write that
// took nothing.
std::size_t write_up_to(int fd, const void* p, std::size_t n, off_t at = at_position);
// True when all n bytes got out.
inline bool write_all(int fd, const void* p, std::size_t n, off_t at = at_position) {
  return write_up_to(fd, p, n, at) == n;
}

// Reads up to n bytes at offset at (at_position: from the descriptor's
// position); the count read, short only at the end of the file, or -1 on a
// read error.
ssize_t read_up_to(int fd, void* p, std::size_t n, off_t at = at_position);
// True when exactly n bytes could be read.
inline bool read_exact(int fd, void* p, std::size_t n, off_t at = at_position) {
  return read_up_to(fd, p, n, at) == static_cast<ssize_t>(n);
}
// Appends everything from the descriptor's position to the end of the file
// to out; false on a read error (what was read stays in out).
bool read_rest(int fd, std::string& out);
