#include "store/file_head.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "base/owners.h"
#include "store/file_cache.h"

namespace {

ssize_t pread_head(int fd, char* buf, std::size_t cap) {
  for (;;) {
    const ssize_t r = ::pread(fd, buf, cap, 0);
    if (r >= 0 || errno != EINTR) return r;
  }
}

}  // namespace

ssize_t read_file_head(const char* path, char* buf, std::size_t cap) {
  kept_file k;
  switch (file_cache_look(path, k)) {
    case kept_look::found:
      if (k.tail_begin == 0) {
        const std::size_t n = k.tail.size() < cap ? k.tail.size() : cap;
        if (n > 0) std::memcpy(buf, k.tail.data(), n);
        return static_cast<ssize_t>(n);
      }
      return pread_head(k.fd, buf, cap);
    case kept_look::no_file:
      return -1;
    case kept_look::off:
      break;
  }
  unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return -1;
  return pread_head(fd.get(), buf, cap);
}
