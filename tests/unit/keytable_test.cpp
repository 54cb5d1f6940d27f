#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "wire/keytable.h"

namespace {

std::string hex(const unsigned char* p, std::size_t n) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 0xf];
  }
  return s;
}

// Day of the year counted from 1, worked out by the calendar library.
int day_of_year(int y, unsigned m, unsigned d) {
  using namespace std::chrono;
  const sys_days date{year{y} / month{m} / day{d}};
  const sys_days first{year{y} / January / 1};
  return static_cast<int>((date - first).count()) + 1;
}

struct multiply_case {
  std::string a, b, product;
};

TEST(Multiply, ExactProductPaddedToBothLengths) {
  const multiply_case cases[] = {
      {"12", "34", "0408"},
      {"5", "5", "25"},
      {"99", "99", "9801"},
      {"0", "7", "00"},
      {"007", "3", "0021"},
      {"4294967295", "4294967295", "18446744065119617025"},
      {std::string(997, '9'), "9", "8" + std::string(996, '9') + "1"},
      // The largest operand a three-digit b allows: 3 * 334 + 6 = 1008 digits of rows.
      {std::string(333, '1'), "111", "012" + std::string(331, '3') + "21"},
  };
  for (const auto& c : cases) {
    std::string a = c.a, b = c.b;
    EXPECT_EQ(multiply(a.data(), b.data()), c.product) << c.a << " * " << c.b;
  }
}

TEST(Multiply, RefusesOperandsBeyondTheWorkArea) {
  // Each of these would need more rows or result digits than there is room for.
  const multiply_case cases[] = {
      {std::string(334, '1'), "111", ""},  // rows: 3 * 335 + 6 > 1008
      {std::string(999, '9'), "9", ""},    // product of 1000 digits
      {std::string(50, '7'), std::string(40, '3'), ""},
      {"", "5", ""},
      {"1a", "5", ""},
  };
  for (const auto& c : cases) {
    std::string a = c.a, b = c.b;
    EXPECT_STREQ(multiply(a.data(), b.data()), "") << c.a.size() << " by " << c.b.size();
    EXPECT_EQ(a, c.a) << "a refused operand is left as it was";
    EXPECT_EQ(b, c.b);
  }
}

TEST(Mod, RemainderOfDigitText) {
  EXPECT_EQ(mod("0408", 7), 2);
  EXPECT_EQ(mod("0408", 0), -1);
  EXPECT_EQ(mod("18446744065119617025", key_modulus), static_cast<std::int64_t>(18446744065119617025ULL % key_modulus));
  // value * 10 would leave 64 bits here without a wider intermediate.
  EXPECT_EQ(mod("99999999999999999999999", 9223372036854775807ULL), 200376420520700505LL);
  EXPECT_EQ(mod("12x", 7), -1);
}

TEST(Generator, StepIsSixthPowerModuloTheModulus) {
  // Expected values worked out with arbitrary-precision arithmetic.
  const struct {
    std::int32_t seed, next;
  } cases[] = {
      {2, 64},
      {10, 1000000},
      {1000, -1486409056},  // 10^18 mod m, low 32 bits read as signed
      {-1, 916116862},      // the state's bits read as 4294967295
      {16800588, 531814347},
  };
  for (const auto& c : cases) {
    RSA_srand(c.seed);
    EXPECT_EQ(RSA_rand(), c.next) << c.seed;
  }
}

TEST(KeyTable, ByteIsTruncatedRemainderCutToEightBits) {
  const struct {
    std::int32_t value;
    unsigned char byte;
  } cases[] = {{-1, 255}, {254, 254}, {255, 0}, {256, 1}, {-254, 2}, {-255, 0}, {INT32_MIN, 128}, {INT32_MAX, 127}};
  for (const auto& c : cases) EXPECT_EQ(key_table_byte(c.value), c.byte) << c.value;
}

TEST(KeyTable, DateGivesKnownNumberAndTable) {
  const struct {
    int y;
    unsigned m, d;
    int key_no;
    const char* head;  // bytes 0..7
    const char* tail;  // bytes 508..511
  } cases[] = {
      {2026, 12, 7, 16800588, "7576e0e9f1c70e5d", "391ee67d"},
      {2026, 12, 9, 16854406, "b19cf53b1765eb32", "a5076a84"},
      {2027, 1, 1, 7654510, "db6d11c8c03b8bef", "2ad827f3"},
  };
  for (const auto& c : cases) {
    const int k = key_number_for(c.y, static_cast<int>(c.m) - 1, day_of_year(c.y, c.m, c.d));
    EXPECT_EQ(k, c.key_no) << c.y << "-" << c.m << "-" << c.d;
    unsigned char table[512];
    build_key_table(k, table);
    EXPECT_EQ(hex(table, 8), c.head) << c.key_no;
    EXPECT_EQ(hex(table + 508, 4), c.tail) << c.key_no;
  }
  unsigned char fallback[512];
  build_key_table(key_fallback_number, fallback);
  EXPECT_EQ(hex(fallback, 8), "6ef986916135a44e");
}

TEST(KeyTable, NumberWrapsLike32BitInt) {
  // (1 * 379 + 1000000 * 53 + 0) * 71 = 3763026909, which wraps negative.
  EXPECT_EQ(key_number_for(1000000, 0, 1), -531940387);
}

TEST(KeyTable, NumberFollowsLocalDate) {
  int k = 0;
  ASSERT_EQ(key_number(&k), 0);
  const std::time_t now = std::time(nullptr);
  struct tm local;
  ASSERT_NE(localtime_r(&now, &local), nullptr);
  const int expected = key_number_for(local.tm_year + 1900, local.tm_mon, local.tm_yday + 1);
  if (k != expected) GTEST_SKIP() << "local midnight passed between the two readings";
  EXPECT_EQ(k, expected);
}

TEST(KeyTable, CheckRebuildsOnlyWhenTheNumberChanges) {
  check_key_number();
  ASSERT_EQ(old_key, key);
  unsigned char expected[512];
  build_key_table(key, expected);
  ASSERT_EQ(std::memcmp(key_buf2, expected, 512), 0);

  // A mark in the table survives a second check on the same date: no rebuild.
  const int first = key;
  key_buf2[0] ^= 0x5a;
  check_key_number();
  if (key != first) GTEST_SKIP() << "local midnight passed during the test";
  EXPECT_EQ(key_buf2[0], expected[0] ^ 0x5a);

  // A table built for another number is replaced on the next check.
  old_key = key + 1;
  check_key_number();
  EXPECT_EQ(old_key, key);
  EXPECT_EQ(std::memcmp(key_buf2, expected, 512), 0);
}

TEST(KeyTable, OtherDatesGiveOtherTables) {
  unsigned char a[512], b[512], again[512];
  build_key_table(key_number_for(2026, 11, day_of_year(2026, 12, 7)), a);
  build_key_table(key_number_for(2026, 11, day_of_year(2026, 12, 8)), b);
  build_key_table(key_number_for(2026, 11, day_of_year(2026, 12, 7)), again);
  EXPECT_NE(std::memcmp(a, b, 512), 0);
  EXPECT_EQ(std::memcmp(a, again, 512), 0);
}

}  // namespace
