#include "base/random_source.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/random.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/owners.h"

namespace {

int urandom_failed(unique_fd& fd) {
  fd.reset();  // close first: it must not disturb the errno we report
  errno = EIO;
  return -1;
}

}  // namespace

int dev_urandom(unsigned char* buf, std::size_t count) {
  unique_fd fd;
  for (;;) {
    fd.reset(::open("/dev/urandom", O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd || errno != EINTR) break;
  }
  if (!fd) return urandom_failed(fd);
  if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) return urandom_failed(fd);

  // Only the kernel's random device will do, not a file put in its place.
  struct stat st;
  int entropy = 0;
  if (::fstat(fd.get(), &st) != 0 || !S_ISCHR(st.st_mode)) return urandom_failed(fd);
  if (::ioctl(fd.get(), RNDGETENTCNT, &entropy) != 0) return urandom_failed(fd);

  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::read(fd.get(), buf + got, count - got);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return urandom_failed(fd);  // an end of file would never fill the buffer
    got += static_cast<std::size_t>(n);
  }
  fd.reset();
  return 0;
}

int kernel_random(unsigned char* buf, std::size_t count) {
  const int saved = errno;  // a refusal here is not the caller's error
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::getrandom(buf + got, count - got, GRND_NONBLOCK);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // ENOSYS (old kernel), EPERM (a system-call filter), EAGAIN (the kernel's
    // pool is not ready yet, where /dev/urandom would still answer).
    errno = saved;
    return -1;
  }
  return 0;
}
