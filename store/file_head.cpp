#include "store/file_head.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "base/owners.h"

ssize_t read_file_head(const char* path, char* buf, std::size_t cap) {
  unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return -1;
  for (;;) {
    const ssize_t r = ::pread(fd.get(), buf, cap, 0);
    if (r >= 0 || errno != EINTR) return r;
  }
}
