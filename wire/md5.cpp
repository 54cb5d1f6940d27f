#include "wire/md5.h"

#include <cstring>

#include "wire/message.h"

std::uint32_t h0, h1, h2, h3;

namespace {

// floor(|sin(i + 1)| * 2^32) for i = 0..63.
constexpr std::uint32_t sine_table[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left rotations, four per round.
constexpr int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr std::uint32_t rotl(std::uint32_t v, int s) { return (v << s) | (v >> (32 - s)); }

void process_block(const unsigned char* p) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = static_cast<std::uint32_t>(p[4 * i]) | static_cast<std::uint32_t>(p[4 * i + 1]) << 8 |
           static_cast<std::uint32_t>(p[4 * i + 2]) << 16 | static_cast<std::uint32_t>(p[4 * i + 3]) << 24;

  std::uint32_t a = h0, b = h1, c = h2, d = h3;
  for (int i = 0; i < 64; ++i) {
    const int round = i / 16;
    std::uint32_t f;
    int k;
    switch (round) {
      case 0: f = (b & c) | (~b & d); k = i; break;
      case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break;
      case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
      default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
    }
    const std::uint32_t t = d;
    d = c;
    c = b;
    b = b + rotl(a + f + x[k] + sine_table[i], shifts[round][i % 4]);
    a = t;
  }
  h0 += a;
  h1 += b;
  h2 += c;
  h3 += d;
}

}  // namespace

void md5(const unsigned char* data, std::size_t len) {
  h0 = 0x67452301;
  h1 = 0xefcdab89;
  h2 = 0x98badcfe;
  h3 = 0x10325476;

  std::size_t done = 0;
  for (; len - done >= 64; done += 64) process_block(data + done);

  // The tail, the 0x80 marker and the bit length take one or two blocks.
  unsigned char tail[128] = {};
  const std::size_t rest = len - done;
  if (rest > 0) std::memcpy(tail, data + done, rest);
  tail[rest] = 0x80;
  const std::size_t blocks = rest < 56 ? 1 : 2;
  const std::uint64_t bits = static_cast<std::uint64_t>(len) * 8;
  unsigned char* field = tail + blocks * 64 - 8;
  for (int i = 0; i < 8; ++i) field[i] = static_cast<unsigned char>(bits >> (8 * i));
  for (std::size_t blk = 0; blk < blocks; ++blk) process_block(tail + 64 * blk);
}

int md5lib(const char* text, char* hex, std::uint32_t* fold) {
  copy_text(hex, 33, "null");
  md5(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
  static constexpr char digits[] = "0123456789abcdef";
  const std::uint32_t words[4] = {h0, h1, h2, h3};
  std::uint32_t folded = 0;
  for (int w = 0; w < 4; ++w) {
    // Digest bytes in order, low byte of each word first; each group of
    // four bytes printed is then read back as one hex number.
    std::uint32_t group = 0;
    for (int byte = 0; byte < 4; ++byte) {
      const unsigned v = (words[w] >> (8 * byte)) & 0xff;
      hex[8 * w + 2 * byte] = digits[v >> 4];
      hex[8 * w + 2 * byte + 1] = digits[v & 0xf];
      group = (group << 8) | v;
    }
    folded ^= group;
  }
  hex[32] = '\0';
  *fold = folded;
  return 0;
}
