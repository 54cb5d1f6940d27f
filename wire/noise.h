// Noise bytes (0..254) for the frame coding.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "base/random_source.h"

// Where noise_gen takes its seed bytes first: reserve_random (the kernel's
// source, one call per request) unless a test installs another source. When
// it returns -1, noise_gen falls back to dev_urandom and then to the clock.
// Returns the source replaced.
random_source set_noise_seed_source(random_source source);

// Next value of Marsaglia's xorshf96 generator.
std::uint64_t xorshf96();

// The C library's rand sequence (its additive feedback generator of degree
// 31, the default state) without the library's lock: after seed(s) the values
// of next() are those of rand() after srand(s). With r[0..30] the seeded
// words, r[31..33] = r[0..2] and r[i] = r[i-31] + r[i-3] (32-bit wrap) after
// that, the k-th value is r[344 + k] >> 1.
class libc_rand {
 public:
  explicit libc_rand(unsigned seed_value = 1) { seed(seed_value); }
  void seed(unsigned seed_value);
  int next() {
    if (pos_ == end) refill();
    return static_cast<int>(w_[pos_++] >> 1);  // the least random bit is dropped
  }
  // The next count values, as count calls of next() would give them, handed
  // to sink(i, value) for i = 0..count-1 without a call per value.
  template <class Sink>
  void take(std::size_t count, Sink&& sink) {
    std::size_t i = 0;
    while (i < count) {
      if (pos_ == end) refill();
      const std::size_t m = std::min(count - i, static_cast<std::size_t>(end - pos_));
      const std::uint32_t* w = w_ + pos_;
      for (std::size_t j = 0; j < m; ++j) sink(i + j, static_cast<int>(w[j] >> 1));
      pos_ += static_cast<int>(m);
      i += m;
    }
  }

 private:
  static constexpr int degree = 31;
  static constexpr int block = 129;  // words made per refill, a multiple of 3
  static constexpr int end = degree + block;
  static_assert(block % 3 == 0);
  // Made a block at a time in a straight line, without wrapping indices:
  // w_[0..30] are the 31 words before w_[31], and next() reads w_[pos_].
  void refill();
  void extend();  // w_[31..end) from the words before them
  std::uint32_t w_[end];
  int pos_ = end;
};

// Reseeds both generators and fills n bytes (n even) with noise. Never writes
// past n: an odd n gets its last byte from the C library generator alone.
void noise_gen(unsigned char* buf, std::size_t n);
// The fill of noise_gen for given seeds: seed_a for xorshf96 (x; y and z take
// their initial values), seed_b for the C library sequence.
void noise_fill(unsigned char* buf, std::size_t n, std::uint32_t seed_a, std::uint32_t seed_b);
