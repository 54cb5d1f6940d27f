#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wire/noise.h"

namespace {

// Marsaglia's xorshf96 as published, for reference.
struct reference_xorshf96 {
  std::uint64_t x, y = 362436069, z = 521288629;
  explicit reference_xorshf96(std::uint32_t seed) : x(seed) {}
  std::uint64_t next() {
    x ^= x << 16;
    x ^= x >> 5;
    x ^= x << 1;
    const std::uint64_t t = x;
    x = y;
    y = z;
    z = t ^ x ^ y;
    return z;
  }
};

// The noise of the written algorithm, made with the C library's own srand/rand.
std::vector<unsigned char> reference_noise(std::size_t n, std::uint32_t seed_a, std::uint32_t seed_b) {
  std::vector<unsigned char> out(n);
  std::srand(seed_b);
  reference_xorshf96 xs(seed_a);
  std::size_t i = 0;
  for (; i + 1 < n; i += 2) {
    out[i] = static_cast<unsigned char>(std::rand() % 255);
    out[i + 1] = static_cast<unsigned char>(xs.next() % 255);
  }
  if (i < n) out[i] = static_cast<unsigned char>(std::rand() % 255);
  return out;
}

// Seeds worth covering: the zero seed (taken as 1), the edges of the signed
// state words, and a spread of others from a fixed sequence.
std::vector<std::uint32_t> seeds() {
  std::vector<std::uint32_t> s = {0u, 1u, 2u, 127773u, 2147483646u, 2147483647u, 2147483648u, 2147483649u,
                                  4294967295u, 4294967294u, 16807u, 0xdeadbeefu};
  std::uint64_t v = 88172645463325252ULL;
  for (int i = 0; i < 300; ++i) {
    v ^= v << 13;
    v ^= v >> 7;
    v ^= v << 17;
    s.push_back(static_cast<std::uint32_t>(v));
  }
  return s;
}

// Installs a seed source for one test and puts the previous one back.
class seed_source_guard {
 public:
  explicit seed_source_guard(random_source s) : previous_(set_noise_seed_source(s)) {}
  ~seed_source_guard() { set_noise_seed_source(previous_); }

 private:
  random_source previous_;
};

int fixed_calls = 0;
int fixed_seed(unsigned char* buf, std::size_t count) {
  ++fixed_calls;
  for (std::size_t i = 0; i < count; ++i) buf[i] = static_cast<unsigned char>(0x11 * (i + 1));
  return 0;
}

int failing_calls = 0;
// Leaves the same bytes behind as fixed_seed, so using them anyway would show.
int failing_seed(unsigned char* buf, std::size_t count) {
  ++failing_calls;
  fixed_seed(buf, count);
  --fixed_calls;
  return -1;
}

constexpr std::uint32_t fixed_a = 0x44332211u, fixed_b = 0x88776655u;  // fixed_seed's bytes, little-endian

TEST(LibcRand, SameSequenceAsTheCLibrary) {
  for (std::uint32_t seed : seeds()) {
    libc_rand mine(seed);
    std::srand(seed);
    for (int k = 0; k < 3000; ++k) {
      const int want = std::rand();
      const int got = mine.next();
      ASSERT_EQ(got, want) << "seed " << seed << " draw " << k;
    }
  }
  libc_rand reseeded(7);
  reseeded.next();
  reseeded.seed(42);
  std::srand(42);
  EXPECT_EQ(reseeded.next(), std::rand()) << "seed() starts the sequence over";
}

TEST(Noise, FillIsByteIdenticalToSrandRandAndXorshift) {
  const std::vector<std::uint32_t> s = seeds();
  for (std::size_t k = 0; k + 1 < s.size(); ++k) {
    for (std::size_t n : {512u, 7u}) {
      unsigned char buf[512];
      noise_fill(buf, n, s[k], s[k + 1]);
      const std::vector<unsigned char> want = reference_noise(n, s[k], s[k + 1]);
      ASSERT_EQ(std::memcmp(buf, want.data(), n), 0) << "seeds " << s[k] << ", " << s[k + 1] << " n " << n;
    }
  }
  // The xorshift generator goes on from where the fill left it.
  unsigned char buf[512];
  noise_fill(buf, sizeof buf, 99, 5);
  reference_xorshf96 xs(99);
  for (int i = 0; i < 256; ++i) xs.next();
  EXPECT_EQ(xorshf96(), xs.next());
}

TEST(Noise, SeedsFromTheInstalledSource) {
  seed_source_guard guard(fixed_seed);
  fixed_calls = 0;
  unsigned char buf[512];
  noise_gen(buf, sizeof buf);
  EXPECT_EQ(fixed_calls, 1);
  const std::vector<unsigned char> want = reference_noise(sizeof buf, fixed_a, fixed_b);
  EXPECT_EQ(std::memcmp(buf, want.data(), sizeof buf), 0);
}

TEST(Noise, FallsBackToTheDeviceWhenTheSourceFails) {
  seed_source_guard guard(failing_seed);
  failing_calls = 0;
  unsigned char a[512], b[512];
  noise_gen(a, sizeof a);
  noise_gen(b, sizeof b);
  EXPECT_EQ(failing_calls, 2);
  const std::vector<unsigned char> stale = reference_noise(sizeof a, fixed_a, fixed_b);
  EXPECT_NE(std::memcmp(a, stale.data(), sizeof a), 0) << "the failed source's bytes were used";
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0) << "every call reseeds from fresh randomness";
  EXPECT_TRUE(std::all_of(std::begin(a), std::end(a), [](unsigned char c) { return c <= 254; }));
}

TEST(Noise, KernelSourceGivesFreshBytesAndNoiseBelow255) {
  unsigned char a[256] = {}, b[256] = {};
  ASSERT_EQ(kernel_random(a, sizeof a), 0);
  ASSERT_EQ(kernel_random(b, sizeof b), 0);
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
  EXPECT_TRUE(std::any_of(a + 200, a + 256, [](unsigned char c) { return c != 0; }));

  // The default source: many seeds, every byte in 0..254, and 254 reached.
  bool saw_254 = false;
  for (int k = 0; k < 200; ++k) {
    unsigned char buf[512];
    noise_gen(buf, sizeof buf);
    for (unsigned char c : buf) {
      ASSERT_LE(c, 254);
      saw_254 = saw_254 || c == 254;
    }
  }
  EXPECT_TRUE(saw_254);
}

}  // namespace
