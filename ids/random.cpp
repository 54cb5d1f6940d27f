#include "ids/random.h"

#include <cstdio>
#include <ctime>

#include "base/random_reserve.h"
#include "base/text.h"

namespace {

random_source fast_source = reserve_random;

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
  if (fast_source(raw, static_cast<std::size_t>(count)) != 0 && dev_urandom(raw, static_cast<std::size_t>(count)) != 0) return -1;
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
