#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

#include "base/random_reserve.h"

namespace {

using chunk = std::array<unsigned char, 16>;

TEST(RandomReserve, HandsOutEachDrawnByteOnce) {
  reserve_clear();
  std::set<chunk> seen;
  for (int k = 0; k < 256; ++k) {  // 256 draws of 16 bytes use one block up
    chunk c{};
    ASSERT_EQ(reserve_random(c.data(), c.size()), 0);
    EXPECT_TRUE(std::any_of(c.begin(), c.end(), [](unsigned char b) { return b != 0; })) << "draw " << k;
    seen.insert(c);
  }
  EXPECT_EQ(seen.size(), 256u) << "bytes handed out twice";
  EXPECT_EQ(reserve_left(), 0u);

  chunk next{};
  ASSERT_EQ(reserve_random(next.data(), next.size()), 0);
  EXPECT_EQ(seen.count(next), 0u);
  EXPECT_EQ(reserve_left(), 4080u) << "an empty block is fetched anew";
}

TEST(RandomReserve, ShortRemainderIsDroppedAndLargeDrawsBypassTheBlock) {
  reserve_clear();
  std::vector<unsigned char> big(4090);
  ASSERT_EQ(reserve_random(big.data(), big.size()), 0);
  ASSERT_EQ(reserve_left(), 6u);
  chunk c{};
  ASSERT_EQ(reserve_random(c.data(), c.size()), 0);
  EXPECT_EQ(reserve_left(), 4080u) << "six bytes cannot serve sixteen";
  EXPECT_TRUE(std::any_of(c.begin(), c.end(), [](unsigned char b) { return b != 0; }));

  std::vector<unsigned char> huge(5000);
  ASSERT_EQ(reserve_random(huge.data(), huge.size()), 0);
  EXPECT_EQ(reserve_left(), 4080u) << "a draw larger than a block leaves the block alone";
  EXPECT_TRUE(std::any_of(huge.begin() + 4900, huge.end(), [](unsigned char b) { return b != 0; }));
}

TEST(RandomReserve, AForkedChildDrawsBytesOfItsOwn) {
  reserve_clear();
  chunk first{};
  ASSERT_EQ(reserve_random(first.data(), first.size()), 0);
  ASSERT_GT(reserve_left(), 0u);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    chunk mine{};
    const bool empty = reserve_left() == 0;
    reserve_random(mine.data(), mine.size());
    if (!empty) mine.fill(0);  // a child that inherited bytes reports zeros
    (void)!::write(fds[1], mine.data(), mine.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  chunk from_child{};
  ASSERT_EQ(::read(fds[0], from_child.data(), from_child.size()), static_cast<ssize_t>(from_child.size()));
  ::close(fds[0]);
  ::waitpid(child, nullptr, 0);
  chunk next{};
  ASSERT_EQ(reserve_random(next.data(), next.size()), 0);
  EXPECT_TRUE(std::any_of(from_child.begin(), from_child.end(), [](unsigned char b) { return b != 0; }))
      << "the child inherited the parent's block";
  EXPECT_NE(from_child, next) << "parent and child handed out the same bytes";
}

}  // namespace
