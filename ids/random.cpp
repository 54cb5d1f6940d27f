#include "ids/random.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "wire/message.h"
#include "wire/owners.h"
#include "wire/random_reserve.h"

namespace {

random_source fast_source = reserve_random;

// Reads exactly count bytes; a short read is continued, a failure is -1.
int read_random(unsigned char* buf, int count) {
  unique_fd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  int got = 0;
  while (got < count) {
    ssize_t n = ::read(fd.get(), buf + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    got += static_cast<int>(n);
  }
  return 0;
}

}  // namespace

random_source set_true_random_source(random_source source) {
  const random_source previous = fast_source;
  fast_source = source;
  return previous;
}

int true_random_generator(char* out, int count, int cls) {
  if (cls < class_bytes || cls > class_printable || count < 0 || count > 64) return -1;
  unsigned char raw[64];
  // The same kernel source as the device, without a descriptor per call.
  if (fast_source(raw, static_cast<std::size_t>(count)) != 0 && read_random(raw, count) != 0) return -1;
  for (int i = 0; i < count; ++i) {
    unsigned b = raw[i];
    switch (cls) {
      case class_bytes: out[i] = static_cast<char>(b); break;
      case class_digits: out[i] = static_cast<char>('0' + b % 10); break;
      case class_capitals: out[i] = static_cast<char>('A' + b % 26); break;
      case class_smalls: out[i] = static_cast<char>('a' + b % 26); break;
      default: out[i] = static_cast<char>('!' + b % 93); break;
    }
  }
  out[count] = '\0';
  return 0;
}

int timer(char* seconds_out, char* nanoseconds_out) {
  struct timespec ts;
  int rc = ::clock_gettime(CLOCK_REALTIME, &ts);
  if (rc != 0) {
    copy_text(seconds_out, 5, "NULL");
    copy_text(nanoseconds_out, 5, "NULL");
    return rc;
  }
  std::snprintf(seconds_out, 21, "%ld", static_cast<long>(ts.tv_sec));
  std::snprintf(nanoseconds_out, 21, "%ld", static_cast<long>(ts.tv_nsec));
  return 0;
}
