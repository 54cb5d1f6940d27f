#include "store/replace.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/format.h"
#include "base/io.h"
#include "base/owners.h"
#include "base/text.h"
#include "store/durable.h"
#include "store/file_cache.h"
#include "store/settings.h"
#include "store/write_seam.h"

int replace_by_rename(const char* from, const char* to) {
  file_cache_forget(from);
  file_cache_forget(to);
  if (store_ops().rename(from, to) != 0) return -1;
  if (sync_writes) note_written_file(to, true);
  return 0;
}

int remove_file(const char* path) {
  file_cache_forget(path);
  return ::unlink(path) == 0 || errno == ENOENT ? 0 : -1;
}

int replace_with_copy(const char* src, const char* dst) {
  char tmp[fmt::path_size];
  text_builder name(tmp);
  name.add(dst).add(".copy");
  if (!name.ok()) return -1;
  unique_fd in(::open(src, O_RDONLY | O_CLOEXEC));
  if (!in) return -1;
  unique_fd out(::open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!out) return -1;
  char buf[65536];
  for (;;) {
    ssize_t n = read_up_to(in.get(), buf, sizeof buf);
    if (n < 0 || !store_write_all(tmp, out.get(), buf, static_cast<std::size_t>(n))) break;
    if (static_cast<std::size_t>(n) < sizeof buf) {
      if (::close(out.release()) != 0 || replace_by_rename(tmp, dst) != 0) break;
      return 0;
    }
  }
  out.reset();
  ::unlink(tmp);
  return -1;
}

int replace_with_text(const char* path, const char* text, std::size_t n) {
  char tmp[fmt::path_size];
  if (!text_builder(tmp).add(path).add(".new").ok()) return -1;
  unique_fd out(::open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!out) return -1;
  bool ok = store_write_all(tmp, out.get(), text, n);
  if (::close(out.release()) != 0) ok = false;
  if (ok && replace_by_rename(tmp, path) == 0) return 0;
  ::unlink(tmp);
  return -1;
}

int write_record_at(const char* path, const char* record, std::size_t n, off_t at) {
  file_cache_forget(path);
  unique_fd fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!fd) return -1;
  while (::flock(fd.get(), LOCK_EX) != 0)
    if (errno != EINTR) return -1;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return -1;
  // What the record replaces, to be put back if the write stops short.
  char old[4096];
  ssize_t kept = at < st.st_size && n <= sizeof old ? read_up_to(fd.get(), old, n, at) : 0;
  if (kept < 0) return -1;
  if (at >= st.st_size || n > sizeof old) kept = 0;
  if (store_write_all(path, fd.get(), record, n, at)) {
    if (sync_writes) note_written_file(path, st.st_size == 0);
    return ::close(fd.release()) == 0 ? 0 : -1;
  }
  if (kept > 0) write_all(fd.get(), old, static_cast<std::size_t>(kept), at);
  if (::ftruncate(fd.get(), st.st_size) != 0) std::perror("ftruncate");
  return -1;
}
