#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <vector>

#include "server/pipeline.h"
#include "wire/format.h"
#include "wire/random_reserve.h"
#include "wire/v1.h"

namespace {

using chunk = std::array<unsigned char, 16>;

TEST(RandomReserve, HandsOutEachDrawnByteOnce) {
  reserve_clear();
  std::set<chunk> seen;
  for (int k = 0; k < 8; ++k) {  // eight 16-byte draws use one block up
    chunk c{};
    ASSERT_EQ(reserve_random(c.data(), c.size()), 0);
    EXPECT_TRUE(std::any_of(c.begin(), c.end(), [](unsigned char b) { return b != 0; })) << "draw " << k;
    seen.insert(c);
  }
  EXPECT_EQ(seen.size(), 8u) << "bytes handed out twice";
  EXPECT_EQ(reserve_left(), 0u);

  chunk next{};
  ASSERT_EQ(reserve_random(next.data(), next.size()), 0);
  EXPECT_EQ(seen.count(next), 0u);
  EXPECT_EQ(reserve_left(), 112u) << "an empty block is fetched anew";
}

TEST(RandomReserve, ShortRemainderIsDroppedAndLargeDrawsBypassTheBlock) {
  reserve_clear();
  std::vector<unsigned char> big(122);
  ASSERT_EQ(reserve_random(big.data(), big.size()), 0);
  ASSERT_EQ(reserve_left(), 6u);
  chunk c{};
  ASSERT_EQ(reserve_random(c.data(), c.size()), 0);
  EXPECT_EQ(reserve_left(), 112u) << "six bytes cannot serve sixteen";
  EXPECT_TRUE(std::any_of(c.begin(), c.end(), [](unsigned char b) { return b != 0; }));

  std::vector<unsigned char> huge(1000);
  ASSERT_EQ(reserve_random(huge.data(), huge.size()), 0);
  EXPECT_EQ(reserve_left(), 112u) << "a draw larger than a block leaves the block alone";
  EXPECT_TRUE(std::any_of(huge.begin() + 900, huge.end(), [](unsigned char b) { return b != 0; }));
}

TEST(RandomReserve, NothingDrawnForARequestOutlivesIt) {
  unsigned char frame[fmt::frame_size];
  for (const char* message : {"TEST=H00&", "OP=get_UID64&", "no operation at all&"}) {
    codeV1(message, frame);
    unsigned char one;
    ASSERT_EQ(reserve_random(&one, 1), 0);  // left over from before the request
    ASSERT_GT(reserve_left(), 0u);
    executor(frame, "127.0.0.1");
    EXPECT_EQ(reserve_left(), 0u) << message;
  }
}

}  // namespace
