#include "base/io.h"

#include <cerrno>
#include <unistd.h>

std::size_t write_up_to(int fd, const void* p, std::size_t n, off_t at) {
  const char* bytes = static_cast<const char*>(p);
  std::size_t done = 0;
  while (done < n) {
    ssize_t w = at < 0 ? ::write(fd, bytes + done, n - done)
                       : ::pwrite(fd, bytes + done, n - done, at + static_cast<off_t>(done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  return done;
}

ssize_t read_up_to(int fd, void* p, std::size_t n, off_t at) {
  char* bytes = static_cast<char*>(p);
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = at < 0 ? ::read(fd, bytes + got, n - got)
                       : ::pread(fd, bytes + got, n - got, at + static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

bool read_rest(int fd, std::string& out) {
  char chunk[65536];
  for (;;) {
    ssize_t n = read_up_to(fd, chunk, sizeof chunk);
    if (n < 0) return false;
    out.append(chunk, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof chunk) return true;
  }
}
