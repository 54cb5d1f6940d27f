#include "wire/random_reserve.h"

#include <array>
#include <cstring>

#include "wire/noise.h"

namespace {

// Enough for the draws of nearly every request (16 bytes per coded frame, 67
// per identifier pair) while the kernel makes only two of its 64-byte blocks.
constexpr std::size_t block_size = 128;
std::array<unsigned char, block_size> block{};
std::size_t left = 0;  // unused bytes at the end of the block

}  // namespace

int reserve_random(unsigned char* buf, std::size_t count) {
  if (count > block_size) return kernel_random(buf, count);
  if (count > left) {
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
