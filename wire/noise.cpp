#include "wire/noise.h"

#include <charconv>
#include <cstring>
#include <ctime>

#include "base/random_reserve.h"
#include "base/random_source.h"
#include "wire/md5.h"

namespace {

constexpr std::uint64_t xorshf_x0 = 123456789;
constexpr std::uint64_t xorshf_y0 = 362436069;
constexpr std::uint64_t xorshf_z0 = 521288629;
std::uint64_t xs_x = xorshf_x0, xs_y = xorshf_y0, xs_z = xorshf_z0;
random_source seed_source = reserve_random;

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

random_source set_noise_seed_source(random_source source) {
  const random_source previous = seed_source;
  seed_source = source;
  return previous;
}

namespace {

// One step of xorshf96 on state held by the caller, so a fill keeps the
// state in registers instead of reloading it after every byte it stores.
inline std::uint64_t xorshf96_step(std::uint64_t& x, std::uint64_t& y, std::uint64_t& z) {
  x ^= x << 16;
  x ^= x >> 5;
  x ^= x << 1;
  const std::uint64_t t = x;
  x = y;
  y = z;
  z = t ^ x ^ y;
  return z;
}

}  // namespace

std::uint64_t xorshf96() { return xorshf96_step(xs_x, xs_y, xs_z); }

void libc_rand::seed(unsigned seed_value) {
  // As the C library's srand: a zero seed counts as 1; the state words are
  // signed 32-bit, filled by 16807 * previous mod (2^31 - 1) in Schrage's
  // form (so a seed above INT32_MAX starts from a negative word), and the
  // first ten rounds of outputs are thrown away.
  if (seed_value == 0) seed_value = 1;
  std::uint32_t r[degree];
  std::int32_t word = static_cast<std::int32_t>(seed_value);
  r[0] = static_cast<std::uint32_t>(word);
  for (int i = 1; i < degree; ++i) {
    const long hi = word / 127773;
    const long lo = word % 127773;
    word = static_cast<std::int32_t>(16807 * lo - 2836 * hi);
    if (word < 0) word += 2147483647;
    r[i] = static_cast<std::uint32_t>(word);
  }
  // The words before the first one made: r[3..30], then r[0..2] again.
  for (int i = 0; i < degree - 3; ++i) w_[i] = r[i + 3];
  for (int i = 0; i < 3; ++i) w_[degree - 3 + i] = r[i];
  extend();
  pos_ = degree;
  for (int discard = degree * 10; discard > 0;) {
    const int skip = discard < end - pos_ ? discard : end - pos_;
    pos_ += skip;
    discard -= skip;
    if (pos_ == end) refill();
  }
}

void libc_rand::extend() {
  // Three words per round: the nearest word each one reads lies three back,
  // so the last three stay in registers instead of being read back from the
  // stores just made, which would chain every round to the one before.
  std::uint32_t a = w_[degree - 3], b = w_[degree - 2], c = w_[degree - 1];
  for (int k = degree; k < end; k += 3) {
    a += w_[k - degree];
    b += w_[k + 1 - degree];
    c += w_[k + 2 - degree];
    w_[k] = a;
    w_[k + 1] = b;
    w_[k + 2] = c;
  }
}

void libc_rand::refill() {
  std::memmove(w_, w_ + block, degree * sizeof w_[0]);
  extend();
  pos_ = degree;
}

void noise_fill(unsigned char* buf, std::size_t n, std::uint32_t seed_a, std::uint32_t seed_b) {
  // The two generators are independent, so each fills its own positions in a
  // loop of its own: even bytes (and the last byte of an odd n) from the C
  // library sequence, odd bytes from xorshf96.
  libc_rand rnd(seed_b);
  rnd.take((n + 1) / 2, [buf](std::size_t i, int v) {
    buf[2 * i] = static_cast<unsigned char>(static_cast<unsigned>(v) % 255);  // v is never negative
  });
  std::uint64_t x = seed_a, y = xorshf_y0, z = xorshf_z0;
  const std::size_t odd = n / 2;
  std::size_t j = 0;
  // Three steps at a time: the state words then keep their registers, and
  // the shifts of the three old words, which the steps need, are independent
  // of each other. One step maps (x, y, z) to (y, z, f(x) ^ y ^ z).
  auto f = [](std::uint64_t v) {
    v ^= v << 16;
    v ^= v >> 5;
    v ^= v << 1;
    return v;
  };
  for (; j + 3 <= odd; j += 3) {
    const std::uint64_t fx = f(x), fy = f(y), fz = f(z);
    const std::uint64_t a = fx ^ y ^ z;
    const std::uint64_t b = fy ^ z ^ a;
    const std::uint64_t c = fz ^ a ^ b;
    buf[2 * j + 1] = static_cast<unsigned char>(a % 255);
    buf[2 * j + 3] = static_cast<unsigned char>(b % 255);
    buf[2 * j + 5] = static_cast<unsigned char>(c % 255);
    x = a;
    y = b;
    z = c;
  }
  for (; j < odd; ++j) buf[2 * j + 1] = static_cast<unsigned char>(xorshf96_step(x, y, z) % 255);
  // xorshf96() goes on from where the fill left it.
  xs_x = x;
  xs_y = y;
  xs_z = z;
}

void noise_gen(unsigned char* buf, std::size_t n) {
  unsigned char seed[8];
  std::uint32_t seed_a;
  std::uint32_t seed_b;
  if (seed_source(seed, sizeof seed) == 0 || dev_urandom(seed, sizeof seed) == 0) {
    seed_a = little_endian32(seed);
    seed_b = little_endian32(seed + 4);
  } else {
    seed_a = clock_seed(37);
    seed_b = clock_seed(133);
  }
  noise_fill(buf, n, seed_a, seed_b);
}
