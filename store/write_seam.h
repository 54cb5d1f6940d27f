// The store's only ways to change a file: write, rename and sync go through
// this table, so in-process tests can make any one of them fail or stop short
// (a full disk, an I/O error) exactly where they want.
#pragma once
#include <cstddef>
#include <sys/types.h>

struct store_write_ops {
  // One write of up to n bytes: at < 0 at the descriptor's position, else at
  // offset at. As write(2): the count, or -1 with errno.
  ssize_t (*write)(const char* path, int fd, const void* p, std::size_t n, off_t at);
  // As rename(2).
  int (*rename)(const char* from, const char* to);
  // Brings fd's data to the disk (fdatasync); 0 or -1.
  int (*sync)(const char* path, int fd);
  // Brings everything written to the file system of the open folder fd to
  // the disk, data and folder entries (syncfs); 0 or -1.
  int (*sync_fs)(int fd);
};

// The table in force; tests replace members and put it back with
// reset_store_write_ops().
store_write_ops& store_ops();
void reset_store_write_ops();

// Writes all n bytes through store_ops().write, continuing short writes and
// interruptions; how many got out.
std::size_t store_write_up_to(const char* path, int fd, const void* p, std::size_t n, off_t at = -1);
inline bool store_write_all(const char* path, int fd, const void* p, std::size_t n, off_t at = -1) {
  return store_write_up_to(path, fd, p, n, at) == n;
}
