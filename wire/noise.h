// Noise bytes (0..254) for the frame coding.
#pragma once
#include <cstddef>
#include <cstdint>

// Fills buf with count bytes from /dev/urandom; 0, or -1 with errno EIO.
int dev_urandom(unsigned char* buf, std::size_t count);
// Fills buf with count bytes from the kernel's random source without opening
// anything (getrandom, never blocking); 0, or -1 when the call is unavailable,
// refused or the source is not ready yet (callers then use /dev/urandom).
int kernel_random(unsigned char* buf, std::size_t count);

// Where noise_gen takes its seed bytes first: kernel_random unless a test
// installs another source. When it returns -1, noise_gen falls back to
// dev_urandom and then to the clock. Returns the source replaced.
using random_source = int (*)(unsigned char* buf, std::size_t count);
random_source set_noise_seed_source(random_source source);

// Next value of Marsaglia's xorshf96 generator.
std::uint64_t xorshf96();

// The C library's rand sequence (its additive feedback generator of degree
// 31, the default state) without the library's lock: after seed(s) the values
// of next() are those of rand() after srand(s).
class libc_rand {
 public:
  explicit libc_rand(unsigned seed_value = 1) { seed(seed_value); }
  void seed(unsigned seed_value);
  int next() {
    const std::uint32_t v = r_[front_] + r_[rear_];
    r_[front_] = v;
    front_ = front_ == degree - 1 ? 0 : front_ + 1;
    rear_ = rear_ == degree - 1 ? 0 : rear_ + 1;
    return static_cast<int>(v >> 1);  // the least random bit is dropped
  }

 private:
  static constexpr int degree = 31;
  static constexpr int separation = 3;
  std::uint32_t r_[degree];
  int front_ = separation;
  int rear_ = 0;
};

// Reseeds both generators and fills n bytes (n even) with noise. Never writes
// past n: an odd n gets its last byte from the C library generator alone.
void noise_gen(unsigned char* buf, std::size_t n);
// The fill of noise_gen for given seeds: seed_a for xorshf96 (x; y and z take
// their initial values), seed_b for the C library sequence.
void noise_fill(unsigned char* buf, std::size_t n, std::uint32_t seed_a, std::uint32_t seed_b);
