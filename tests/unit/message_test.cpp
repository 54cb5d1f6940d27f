#include <gtest/gtest.h>

#include <cstring>

#include "wire/message.h"
#include "wire/reply.h"

namespace {

struct select_case {
  const char* message;
  const char* key;
  int rc;
  const char* value;
};

TEST(SelectValue, ExtractsByPlainSubstringSearch) {
  const select_case cases[] = {
      {"OP=get_UID64&", "OP", field_found, "get_UID64"},
      {"OP=get_UID64", "OP", field_absent, "NULL"},
      {"OP=get_UID64&", "NAME", field_absent, "NULL"},
      {"NAME=&", "NAME", field_found, ""},
      {"EUIDP=x&UIDP=y&", "UIDP", field_found, "x"},
      {"NAME=a=b&", "NAME", field_found, "a=b"},
      {"DEP=1&DEP=2&", "DEP", field_found, "1"},
      {"VDATE=20270101&DATE=x&", "DATE", field_found, "20270101"},
      {"XOP&OP=a&", "OP", field_found, "a"},
  };
  for (const auto& c : cases) {
    char dst[80] = "untouched";
    EXPECT_EQ(select_value(c.message, c.key, dst), c.rc) << c.message << " / " << c.key;
    EXPECT_STREQ(dst, c.value) << c.message << " / " << c.key;
  }
}

TEST(SelectValue, ShortMessageLeavesDestinationUntouched) {
  char dst[80] = "before";
  EXPECT_EQ(select_value("OP=", "OP", dst), field_absent);
  EXPECT_STREQ(dst, "before");
}

TEST(SelectValue, TooLongValueIsNeverCut) {
  char dst[6] = "xxxxx";
  EXPECT_EQ(select_value("DEP=12345&", "DEP", dst), field_found);
  EXPECT_STREQ(dst, "12345");
  EXPECT_EQ(select_value("DEP=123456&", "DEP", dst), field_too_long);
  EXPECT_STREQ(dst, "NULL");
}

TEST(TextBuilder, FailsInsteadOfOverrunning) {
  char buf[8];
  text_builder b(buf);
  b.add("abc").add("defg");
  EXPECT_TRUE(b.ok());
  EXPECT_STREQ(buf, "abcdefg");
  b.add("h");
  EXPECT_FALSE(b.ok());
  EXPECT_STREQ(buf, "abcdefg");
}

// A done reply without result fields passed an empty view with no storage to
// memmove, which the sanitizers stop: every handler answering plain done broke.
TEST(TextBuilder, AnEmptyViewWithoutStorageAddsNothing) {
  char buf[8] = "x";
  EXPECT_TRUE(copy_text(buf, std::string_view{}));
  EXPECT_STREQ(buf, "");
  text_builder b(buf);
  b.add("ab").add(std::string_view{}).add("c");
  EXPECT_TRUE(b.ok());
  EXPECT_STREQ(buf, "abc");
  char reply[512];
  EXPECT_EQ(reply_done(reply, "log_adm"), 0);
  EXPECT_STREQ(reply, "RE=log_adm&STATUS=done&");
}

TEST(ParseLeadingLong, ReadsLikeAtoiWithoutOverflow) {
  EXPECT_EQ(parse_leading_long("8809&"), 8809);
  EXPECT_EQ(parse_leading_long("  -12x"), -12);
  EXPECT_EQ(parse_leading_long("abc"), 0);
  EXPECT_EQ(parse_leading_long(""), 0);
  EXPECT_EQ(parse_leading_long("99999999999999999999999"), LONG_MAX);
}

}  // namespace
