#include "wire/v1.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/format.h"
#include "wire/keytable.h"
#include "wire/noise.h"

namespace {

// The frame interleaves two blocks: byte 2i is m[i] ^ n[i], byte 2i+1 is
// n[i] ^ table[i]. Sixteen pairs at a time where the processor has SSE2
// (every x86-64 does), pair by pair elsewhere; both give the same bytes.
static_assert(fmt::block_size % 16 == 0);

void interleave_masked(const unsigned char* m, const unsigned char* n, const unsigned char* table,
                       unsigned char* frame) {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= fmt::block_size; i += 16) {
    const __m128i vm = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m + i));
    const __m128i vn = _mm_loadu_si128(reinterpret_cast<const __m128i*>(n + i));
    const __m128i vt = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + i));
    const __m128i even = _mm_xor_si128(vm, vn);
    const __m128i odd = _mm_xor_si128(vn, vt);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(frame + 2 * i), _mm_unpacklo_epi8(even, odd));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(frame + 2 * i + 16), _mm_unpackhi_epi8(even, odd));
  }
#else
  for (; i < fmt::block_size; ++i) {
    frame[2 * i] = static_cast<unsigned char>(m[i] ^ n[i]);
    frame[2 * i + 1] = static_cast<unsigned char>(n[i] ^ table[i]);
  }
#endif
}

// The reverse: the odd bytes become the noise (in place, as the frame is
// left afterwards) and dst[i] the message byte.
void unmask_split(unsigned char* frame, const unsigned char* table, char* dst) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i low_bytes = _mm_set1_epi16(0x00ff);
  for (; i + 16 <= fmt::block_size; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame + 2 * i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame + 2 * i + 16));
    const __m128i even = _mm_packus_epi16(_mm_and_si128(a, low_bytes), _mm_and_si128(b, low_bytes));
    const __m128i odd = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    const __m128i noise = _mm_xor_si128(odd, _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + i)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_xor_si128(even, noise));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(frame + 2 * i), _mm_unpacklo_epi8(even, noise));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(frame + 2 * i + 16), _mm_unpackhi_epi8(even, noise));
  }
#else
  for (; i < fmt::block_size; ++i) {
    frame[2 * i + 1] = static_cast<unsigned char>(frame[2 * i + 1] ^ table[i]);
    dst[i] = static_cast<char>(frame[2 * i] ^ frame[2 * i + 1]);
  }
#endif
}

}  // namespace

void codeV1_with_table(const char* message, const unsigned char* table, unsigned char* frame) {
  // The message block: noise, overwritten from the start by the message and
  // its terminator, so nothing after the text is predictable.
  unsigned char m[fmt::block_size];
  noise_gen(m, sizeof m);
  const std::size_t len = ::strnlen(message, fmt::message_max);
  std::memcpy(m, message, len);
  m[len] = 0;

  unsigned char n[fmt::block_size];
  noise_gen(n, sizeof n);
  interleave_masked(m, n, table, frame);
}

void decodeV1_with_table(unsigned char* frame, const unsigned char* table, char* dst) {
  unmask_split(frame, table, dst);
  // A foreign coder may fill all 512 bytes; the reader must still find an end.
  if (std::memchr(dst, 0, fmt::block_size) == nullptr) dst[fmt::message_max] = '\0';
}

void codeV1(const char* message, unsigned char* frame) {
  check_key_number();
  codeV1_with_table(message, key_buf2, frame);
}

void decodeV1(unsigned char* frame, char* dst) {
  check_key_number();
  decodeV1_with_table(frame, key_buf2, dst);
}
