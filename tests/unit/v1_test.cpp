#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/format.h"
#include "wire/keytable.h"
#include "wire/noise.h"
#include "wire/v1.h"

namespace {

using frame_t = unsigned char[fmt::frame_size];

std::string round_trip(const std::string& message) {
  frame_t frame;
  codeV1(message.c_str(), frame);
  char dst[fmt::message_size];
  decodeV1(frame, dst);
  return dst;
}

// Seeds that follow from a call count, so the noise of a coding can be made
// again outside it.
unsigned seed_calls = 0;
int counting_seed(unsigned char* buf, std::size_t count) {
  ++seed_calls;
  for (std::size_t i = 0; i < count; ++i) buf[i] = static_cast<unsigned char>(seed_calls * 31 + i * 7);
  return 0;
}
void noise_of_call(unsigned call, unsigned char* block) {
  unsigned char b[8];
  for (std::size_t i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(call * 31 + i * 7);
  auto le32 = [](const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
  };
  noise_fill(block, fmt::block_size, le32(b), le32(b + 4));
}

TEST(V1, FrameBytesArePairedExactlyAsLaidOut) {
  unsigned char table[fmt::block_size];
  for (std::size_t i = 0; i < sizeof table; ++i) table[i] = static_cast<unsigned char>(i * 13 + 5);
  const random_source previous = set_noise_seed_source(counting_seed);
  for (const std::string& message : {std::string(""), std::string("OP=get_node&UID32=X&"),
                                      std::string(511, '\x7f'), std::string(300, 'q')}) {
    const unsigned first_call = seed_calls + 1;
    unsigned char frame[fmt::frame_size];
    codeV1_with_table(message.c_str(), table, frame);

    // The message block is the first noise with the text and its terminator
    // over it; the noise block is the second. Byte 2i is m ^ n, 2i+1 n ^ table.
    unsigned char m[fmt::block_size], n[fmt::block_size];
    noise_of_call(first_call, m);
    noise_of_call(first_call + 1, n);
    std::memcpy(m, message.c_str(), message.size() + 1);
    for (std::size_t i = 0; i < fmt::block_size; ++i) {
      ASSERT_EQ(frame[2 * i], static_cast<unsigned char>(m[i] ^ n[i])) << "pair " << i;
      ASSERT_EQ(frame[2 * i + 1], static_cast<unsigned char>(n[i] ^ table[i])) << "pair " << i;
    }

    char dst[fmt::message_size];
    decodeV1_with_table(frame, table, dst);
    EXPECT_EQ(std::memcmp(dst, m, fmt::block_size - 1), 0) << "every message byte, not only the text";
    for (std::size_t i = 0; i < fmt::block_size; ++i)
      ASSERT_EQ(frame[2 * i + 1], n[i]) << "odd bytes hold the noise afterwards, pair " << i;
  }
  set_noise_seed_source(previous);
}

TEST(V1, RoundTripKeepsUpTo511Characters) {
  const std::string fields = "OP=add_department&NAME=x&";
  std::string full(fmt::message_max, 'a');
  for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<char>(' ' + i % 95);
  const std::string longer = full + std::string(89, 'z');

  EXPECT_EQ(round_trip(""), "");
  EXPECT_EQ(round_trip(fields), fields);
  EXPECT_EQ(round_trip(full), full);
  EXPECT_EQ(round_trip(longer), full);
}

TEST(V1, FramesCarryFreshNoiseUnderTheKeyTable) {
  const char* message = "OP=get_UID64&";
  frame_t first, second;
  codeV1(message, first);
  codeV1(message, second);
  EXPECT_NE(std::memcmp(first, second, fmt::frame_size), 0);

  for (unsigned char* frame : {first, second}) {
    char dst[fmt::message_size];
    decodeV1(frame, dst);
    EXPECT_STREQ(dst, message);
    // The odd bytes now hold the noise block; the message block past the
    // terminator is noise as well.
    for (std::size_t i = 0; i < fmt::block_size; ++i) EXPECT_LE(frame[2 * i + 1], 254) << i;
    for (std::size_t i = std::strlen(message) + 1; i < fmt::block_size; ++i)
      EXPECT_LE(static_cast<unsigned char>(dst[i]), 254) << i;
  }
}

TEST(V1, CodesWithTodaysTable) {
  int k = 0;
  key_number(&k);
  unsigned char table[fmt::block_size];
  build_key_table(k, table);
  frame_t frame;
  codeV1("OP=versionTAVR&", frame);
  char dst[fmt::message_size];
  decodeV1_with_table(frame, table, dst);
  if (key != k) GTEST_SKIP() << "local midnight passed during the test";
  EXPECT_STREQ(dst, "OP=versionTAVR&");
}

TEST(V1, AnotherDatesTableCannotReadTheFrame) {
  unsigned char dec7[fmt::block_size], dec8[fmt::block_size];
  build_key_table(16800588, dec7);  // 2026-12-07
  build_key_table(key_number_for(2026, 11, 342), dec8);  // 2026-12-08
  const char* message = "OP=get_dep_data&NIP=N1234567890&";
  frame_t frame;
  codeV1_with_table(message, dec7, frame);

  frame_t copy;
  std::memcpy(copy, frame, sizeof frame);
  char dst[fmt::message_size];
  decodeV1_with_table(copy, dec7, dst);
  EXPECT_STREQ(dst, message);

  decodeV1_with_table(frame, dec8, dst);
  EXPECT_NE(std::memchr(dst, 0, fmt::message_size), nullptr) << "always terminated";
  EXPECT_STRNE(dst, message);
}

TEST(V1, FrameWithoutTerminatorIsCutAt511) {
  // An outside coder that fills all 512 message bytes with characters.
  unsigned char table[fmt::block_size];
  build_key_table(key_fallback_number, table);
  frame_t frame;
  for (std::size_t i = 0; i < fmt::block_size; ++i) {
    const unsigned char noise = static_cast<unsigned char>(i * 7 % 255);
    frame[2 * i] = static_cast<unsigned char>('A' + i % 26) ^ noise;
    frame[2 * i + 1] = noise ^ table[i];
  }
  char dst[fmt::message_size];
  decodeV1_with_table(frame, table, dst);
  ASSERT_EQ(std::strlen(dst), fmt::message_max);
  EXPECT_EQ(dst[0], 'A');
  EXPECT_EQ(dst[510], static_cast<char>('A' + 510 % 26));
}

TEST(Noise, BytesStayBelow255AndNothingPastTheEnd) {
  for (std::size_t n : {512u, 2u, 7u, 1u, 0u}) {
    unsigned char buf[520];
    std::fill(std::begin(buf), std::end(buf), 0xff);
    noise_gen(buf, n);
    for (std::size_t i = 0; i < n; ++i) EXPECT_LE(buf[i], 254) << "n " << n << " at " << i;
    for (std::size_t i = n; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0xff) << "n " << n << " wrote at " << i;
  }
  unsigned char a[512], b[512];
  noise_gen(a, sizeof a);
  noise_gen(b, sizeof b);
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0) << "every call reseeds from fresh randomness";
}

TEST(Noise, UrandomFillsTheWholeBuffer) {
  unsigned char a[4096] = {}, b[4096] = {};
  ASSERT_EQ(dev_urandom(a, sizeof a), 0);
  ASSERT_EQ(dev_urandom(b, sizeof b), 0);
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
  // A zero tail would show a short read taken for a full one.
  EXPECT_TRUE(std::any_of(a + 4000, a + 4096, [](unsigned char c) { return c != 0; }));
}

}  // namespace
