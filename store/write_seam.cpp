#include "store/write_seam.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

ssize_t plain_write(const char*, int fd, const void* p, std::size_t n, off_t at) {
  return at < 0 ? ::write(fd, p, n) : ::pwrite(fd, p, n, at);
}
int plain_rename(const char* from, const char* to) { return std::rename(from, to); }
int plain_sync(const char*, int fd) { return ::fdatasync(fd); }
int plain_sync_fs(int fd) { return ::syncfs(fd); }

constexpr store_write_ops plain_ops{plain_write, plain_rename, plain_sync, plain_sync_fs};
store_write_ops active_ops = plain_ops;

}  // namespace

store_write_ops& store_ops() { return active_ops; }
void reset_store_write_ops() { active_ops = plain_ops; }

std::size_t store_write_up_to(const char* path, int fd, const void* p, std::size_t n, off_t at) {
  const char* bytes = static_cast<const char*>(p);
  std::size_t done = 0;
  while (done < n) {
    ssize_t w = active_ops.write(path, fd, bytes + done, n - done, at < 0 ? at : at + static_cast<off_t>(done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  return done;
}
