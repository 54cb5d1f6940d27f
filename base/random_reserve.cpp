#include "base/random_reserve.h"

#include <array>
#include <cstring>
#include <pthread.h>

#include "base/random_source.h"

namespace {

// Some 50 requests' worth (16 bytes per coded frame, 67 per identifier pair),
// so the kernel is asked once in that many requests.
constexpr std::size_t block_size = 4096;
std::array<unsigned char, block_size> block{};
std::size_t left = 0;  // unused bytes at the end of the block

}  // namespace

int reserve_random(unsigned char* buf, std::size_t count) {
  if (count > block_size) return kernel_random(buf, count);
  if (count > left) {
    // A forked child starts without the parent's bytes, so the two can never
    // hand out the same ones.
    static const bool child_clears = ::pthread_atfork(nullptr, nullptr, reserve_clear) == 0;
    (void)child_clears;
    // Whatever is left is too little; it is dropped, never mixed in.
    reserve_clear();
    if (kernel_random(block.data(), block_size) != 0) return -1;
    left = block_size;
  }
  unsigned char* from = block.data() + (left - count);
  std::memcpy(buf, from, count);
  std::memset(from, 0, count);
  left -= count;
  return 0;
}

void reserve_clear() {
  std::memset(block.data(), 0, left);
  left = 0;
}

std::size_t reserve_left() { return left; }
