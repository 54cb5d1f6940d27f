#include "wire/v1.h"

#include <cstring>

#include "wire/format.h"
#include "wire/keytable.h"
#include "wire/noise.h"

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
  for (std::size_t i = 0; i < fmt::block_size; ++i) {
    frame[2 * i] = static_cast<unsigned char>(m[i] ^ n[i]);
    frame[2 * i + 1] = static_cast<unsigned char>(n[i] ^ table[i]);
  }
}

void decodeV1_with_table(unsigned char* frame, const unsigned char* table, char* dst) {
  for (std::size_t i = 0; i < fmt::block_size; ++i) {
    frame[2 * i + 1] = static_cast<unsigned char>(frame[2 * i + 1] ^ table[i]);
    dst[i] = static_cast<char>(frame[2 * i] ^ frame[2 * i + 1]);
  }
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
