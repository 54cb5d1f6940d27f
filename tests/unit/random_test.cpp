#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ids/random.h"
#include "ids/uid.h"

namespace {

class true_source_guard {
 public:
  explicit true_source_guard(random_source s) : previous_(set_true_random_source(s)) {}
  ~true_source_guard() { set_true_random_source(previous_); }

 private:
  random_source previous_;
};

int source_calls = 0;

// Bytes 0, 1, 2, ...: the class mapping is then known exactly.
int counting_bytes(unsigned char* buf, std::size_t count) {
  ++source_calls;
  for (std::size_t i = 0; i < count; ++i) buf[i] = static_cast<unsigned char>(i);
  return 0;
}

// Fails, leaving counting_bytes' bytes behind.
int failing_source(unsigned char* buf, std::size_t count) {
  counting_bytes(buf, count);
  return -1;
}

TEST(TrueRandom, ClassesMapTheSourceBytes) {
  true_source_guard guard(counting_bytes);
  source_calls = 0;
  struct row {
    int cls;
    const char* want;  // for bytes 0..31
  } rows[] = {
      {class_digits, "01234567890123456789012345678901"},
      {class_capitals, "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEF"},
      {class_smalls, "abcdefghijklmnopqrstuvwxyzabcdef"},
      {class_printable, "!\"#$%&'()*+,-./0123456789:;<=>?@"},
  };
  for (const row& r : rows) {
    char out[65];
    ASSERT_EQ(true_random_generator(out, 32, r.cls), 0) << r.cls;
    EXPECT_STREQ(out, r.want) << r.cls;
  }
  EXPECT_EQ(source_calls, 4);
}

TEST(TrueRandom, FallsBackToTheDeviceWhenTheSourceFails) {
  true_source_guard guard(failing_source);
  char a[65], b[65];
  ASSERT_EQ(true_random_generator(a, 32, class_smalls), 0);
  ASSERT_EQ(true_random_generator(b, 32, class_smalls), 0);
  EXPECT_EQ(std::strlen(a), 32u);
  EXPECT_STRNE(a, "abcdefghijklmnopqrstuvwxyzabcdef") << "the failed source's bytes were used";
  EXPECT_STRNE(a, b);
  for (char c : std::string(a)) EXPECT_TRUE(c >= 'a' && c <= 'z') << c;

  // Identifiers are still issued through the fall-back.
  char uid32[33], euid[33] = "";
  ASSERT_EQ(gen_UID64T(uid32, euid, 0), 0);
  EXPECT_EQ(std::strlen(uid32), 32u);
  EXPECT_EQ(std::strlen(euid), 32u);
}

TEST(TrueRandom, KernelSourceDrawsDiffer) {
  char a[65], b[65];
  ASSERT_EQ(true_random_generator(a, 32, class_digits), 0);
  ASSERT_EQ(true_random_generator(b, 32, class_digits), 0);
  EXPECT_STRNE(a, b);
  char untouched[8] = "same";
  EXPECT_EQ(true_random_generator(untouched, 4, 5), -1);
  EXPECT_STREQ(untouched, "same");
}

}  // namespace
