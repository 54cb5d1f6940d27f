#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "wire/md5.h"

namespace {

TEST(Md5, DigestsOfKnownTexts) {
  const struct {
    std::string text;
    const char* hex;
  } cases[] = {
      // The test suite of RFC 1321.
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // Around the block edges, where the padding takes one or two blocks.
      {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
      {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
      {std::string(63, 'x'), "7dc2ca208106a2f703567bdff99d8981"},
      {std::string(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"},
      {std::string(65, 'x'), "1bc932052302d074bdec39795fe00cf6"},
      {std::string(120, 'x'), "fb98667f98096de92620b64f46e1c5b5"},
  };
  for (const auto& c : cases) {
    char hex[33];
    std::uint32_t fold = 0;
    EXPECT_EQ(md5lib(c.text.c_str(), hex, &fold), 0);
    EXPECT_STREQ(hex, c.hex) << "length " << c.text.size();
  }
}

TEST(Md5, FoldXorsTheFourHexGroups) {
  char hex[33];
  std::uint32_t fold = 0;
  ASSERT_EQ(md5lib("abc", hex, &fold), 0);
  EXPECT_EQ(fold, 0x52a45f27u);
  // The words hold the digest bytes low byte first.
  EXPECT_EQ(h0, 0x98500190u);
  EXPECT_EQ(h3, 0x727fe128u);
}

}  // namespace
