#include "wire/noise.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <linux/random.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "wire/md5.h"
#include "wire/owners.h"

namespace {

constexpr std::uint64_t xorshf_x0 = 123456789;
constexpr std::uint64_t xorshf_y0 = 362436069;
constexpr std::uint64_t xorshf_z0 = 521288629;
std::uint64_t xs_x = xorshf_x0, xs_y = xorshf_y0, xs_z = xorshf_z0;

int urandom_failed(unique_fd& fd) {
  fd.reset();  // close first: it must not disturb the errno we report
  errno = EIO;
  return -1;
}

std::uint32_t little_endian32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Seed from the clock when /dev/urandom is not usable: the fold of the
// seconds and nanoseconds written one after the other, or the time plus bias.
std::uint32_t clock_seed(long bias) {
  struct timespec ts;
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0)
    return static_cast<std::uint32_t>(static_cast<long>(std::time(nullptr)) + bias);
  char text[48];
  char* end = text + sizeof text - 1;
  auto sec = std::to_chars(text, end, static_cast<long>(ts.tv_sec));
  auto nsec = std::to_chars(sec.ptr, end, static_cast<long>(ts.tv_nsec));
  *nsec.ptr = '\0';
  char hex[33];
  std::uint32_t fold = 0;
  md5lib(text, hex, &fold);
  return fold;
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

std::uint64_t xorshf96() {
  xs_x ^= xs_x << 16;
  xs_x ^= xs_x >> 5;
  xs_x ^= xs_x << 1;
  const std::uint64_t t = xs_x;
  xs_x = xs_y;
  xs_y = xs_z;
  xs_z = t ^ xs_x ^ xs_y;
  return xs_z;
}

void noise_gen(unsigned char* buf, std::size_t n) {
  unsigned char seed[8];
  std::uint32_t seed_a;
  std::uint32_t seed_b;
  if (dev_urandom(seed, sizeof seed) == 0) {
    seed_a = little_endian32(seed);
    seed_b = little_endian32(seed + 4);
  } else {
    seed_a = clock_seed(37);
    seed_b = clock_seed(133);
  }
  std::srand(seed_b);
  xs_x = seed_a;
  xs_y = xorshf_y0;
  xs_z = xorshf_z0;

  std::size_t i = 0;
  for (; i + 1 < n; i += 2) {
    buf[i] = static_cast<unsigned char>(std::rand() % 255);
    buf[i + 1] = static_cast<unsigned char>(xorshf96() % 255);
  }
  if (i < n) buf[i] = static_cast<unsigned char>(std::rand() % 255);
}
