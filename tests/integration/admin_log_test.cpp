// The administrator log: record bytes as functions, then log_adm and
// get_last_log through the real server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "admin/admin_log.h"
#include "tests/support/server_fixture.h"
#include "tests/support/text_pattern.h"

namespace {

using testing_support::central_server;
using testing_support::matches;
using testing_support::read_file;
using testing_support::write_file;

std::string record_of(const std::string& text) {
  char record[log_record_size];
  make_log_record(text.c_str(), record);
  return std::string(record, log_record_size);
}

std::string text_of(const std::string& record) {
  char out[log_record_size + 1];
  log_record_text(record.data(), out);
  return out;
}

TEST(LogRecord, TextZeroBytePaddingAndCut) {
  const std::string t47(47, 'a'), t59(59, 'b'), t60(60, 'c'), t67(67, 'd');
  EXPECT_EQ(record_of(t47), t47 + '\0' + std::string(12, '0'));
  EXPECT_EQ(record_of(t59), t59 + '\0') << "a zero byte and no padding";
  EXPECT_EQ(record_of(t60), t60) << "exactly full: no zero byte";
  EXPECT_EQ(record_of(t67), t67.substr(0, 60));

  EXPECT_EQ(text_of(record_of("PESEL=1&NICK=a&DATE=2")), "PESEL=1&NICK=a&");
  EXPECT_EQ(text_of(record_of("PESEL=1&NICK=a&DATE=20260101-00:00:00&")), "PESEL=1&NICK=a&DATE=20260101-00:00:00&");
  EXPECT_EQ(text_of(std::string(60, 'x')), std::string(60, 'x')) << "no '&' to cut after";
}

constexpr char id1[] = "44051401359";
constexpr char id2[] = "RS000000017";

std::string log_adm(const std::string& pesel, const std::string& nick) {
  return "OP=log_adm&PESEL=" + pesel + "&NICK=" + nick + "&";
}
const std::string logged = "RE=log_adm&STATUS=done&";
const std::string found = "RE=get_last_log&STATUS=done&";
const std::string stamp = testing_support::date_pattern;

class AdminLogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output() << server.errors(); }
  std::string log() const { return read_file(server.path("DISK/log.q")); }
  std::string record(std::size_t i) const { return log().substr(i * 60, 60); }
  central_server server;
};

TEST_F(AdminLogTest, OneRecordPerIdentifierOverwrittenInPlace) {
  EXPECT_EQ(server.ask("OP=get_last_log&PESEL=" + std::string(id1) + "&"),
            "RE=get_last_log&STATUS=refused&CP=no_file&");
  EXPECT_EQ(server.ask(log_adm(id1, "adam")), logged);
  ASSERT_EQ(log().size(), 60u);
  EXPECT_TRUE(matches(record(0), "PESEL=44051401359&NICK=adam&" + stamp + std::string(1, '\0') + "00000000"))
      << record(0);
  EXPECT_EQ(server.ask(log_adm(id2, "ewa")), logged);
  EXPECT_EQ(log().size(), 120u);
  EXPECT_EQ(server.ask(log_adm(id1, "adam2")), logged);
  ASSERT_EQ(log().size(), 120u);
  EXPECT_TRUE(matches(record(0).substr(0, 52), "PESEL=44051401359&NICK=adam2&" + stamp))
      << record(0);
  EXPECT_EQ(record(1).substr(0, 23), "PESEL=RS000000017&NICK=");

  std::string reply = server.ask("OP=get_last_log&PESEL=" + std::string(id1) + "&NICK=ewa&");
  EXPECT_TRUE(matches(reply, found + "PESEL=44051401359&NICK=adam2&" + stamp)) << reply;
  reply = server.ask("OP=get_last_log&PESEL=null&NICK=ewa&");
  EXPECT_TRUE(matches(reply, found + "PESEL=RS000000017&NICK=ewa&" + stamp)) << reply;
  for (const char* none : {"OP=get_last_log&PESEL=null&NICK=null&", "OP=get_last_log&PESEL=null&NICK=nobody&",
                           "OP=get_last_log&PESEL=44051401358&NICK=ewa&"})
    EXPECT_EQ(server.ask(none), found) << none;
}

TEST_F(AdminLogTest, LongNicksFillTheRecordAndLoseTheTimeStamp) {
  const std::string n12(12, 'a'), n13(13, 'b'), n20(20, 'c');
  EXPECT_EQ(server.ask(log_adm(id1, n12)), logged);
  EXPECT_EQ(server.ask(log_adm(id2, n13)), logged);
  EXPECT_EQ(server.ask(log_adm("RS000000018", n20)), logged);
  ASSERT_EQ(log().size(), 180u);
  EXPECT_TRUE(matches(record(0), "PESEL=44051401359&NICK=" + n12 + "&" + stamp + std::string(1, '\0')));
  EXPECT_TRUE(matches(record(1), "PESEL=RS000000017&NICK=" + n13 + "&" + stamp));
  EXPECT_EQ(record(2).substr(0, 51), "PESEL=RS000000018&NICK=" + n20 + "&DATE=20");

  std::string reply = server.ask("OP=get_last_log&PESEL=null&NICK=" + n13 + "&");
  EXPECT_TRUE(matches(reply, found + "PESEL=RS000000017&NICK=" + n13 + "&" + stamp)) << reply;
  EXPECT_EQ(server.ask("OP=get_last_log&PESEL=RS000000018&"), found + "PESEL=RS000000018&NICK=" + n20 + "&");
}

TEST_F(AdminLogTest, TheFirstRecordWithTheNickIsReturned) {
  EXPECT_EQ(server.ask(log_adm(id1, "same")), logged);
  EXPECT_EQ(server.ask(log_adm(id2, "same")), logged);
  std::string reply = server.ask("OP=get_last_log&PESEL=null&NICK=same&");
  EXPECT_TRUE(matches(reply, found + "PESEL=44051401359&NICK=same&" + stamp)) << reply;
}

TEST_F(AdminLogTest, RefusalsNameTheirStep) {
  struct row {
    std::string request, reply;
  } rows[] = {
      {"OP=log_adm&NICK=adam&", "RE=log_adm&STATUS=refused&CP=incorrect_qvector[1]&"},
      {"OP=log_adm&PESEL=44051401359&", "RE=log_adm&STATUS=refused&CP=incorrect_qvector[1]&"},
      {log_adm(id1, std::string(21, 'n')), "RE=log_adm&STATUS=refused&CP=incorrect_qvector[2]&"},
      {log_adm("4405140135", "adam"), "RE=log_adm&STATUS=refused&CP=incorrect_qvector[3]&"},
      {log_adm(std::string(60, '4'), "adam"), "RE=log_adm&STATUS=refused&CP=incorrect_qvector[3]&"},
      {log_adm("44051401358", "adam"), "RE=log_adm&STATUS=refused&CP=incorrect_qvector[4]&"},
      {"OP=get_last_log&NICK=adam&", "RE=get_last_log&STATUS=refused&CP=incorrect_qvector[1]&"},
      {"OP=get_last_log&PESEL=null&", "RE=get_last_log&STATUS=refused&CP=incorrect_qvector[2]&"},
  };
  for (const row& r : rows) EXPECT_EQ(server.ask(r.request), r.reply) << r.request;
  EXPECT_FALSE(testing_support::file_exists(server.path("DISK/log.q")));

  std::filesystem::create_directory(server.path("DISK/log.q"));
  EXPECT_EQ(server.ask(log_adm(id1, "adam")), "RE=log_adm&STATUS=refused&CP=no_log&");
}

TEST_F(AdminLogTest, APartialRecordIsPaddedBeforeTheNextOne) {
  EXPECT_EQ(server.ask(log_adm(id1, "adam")), logged);
  write_file(server.path("DISK/log.q"), log() + "PESEL=RS");  // cut from outside
  EXPECT_EQ(server.ask(log_adm(id2, "ewa")), logged);
  ASSERT_EQ(log().size(), 180u);
  EXPECT_EQ(record(1), "PESEL=RS" + std::string(52, '\0'));
  EXPECT_EQ(record(2).substr(0, 27), "PESEL=RS000000017&NICK=ewa&");
  EXPECT_EQ(server.ask(log_adm(id2, "ewa2")), logged);
  EXPECT_EQ(log().size(), 180u);
  EXPECT_EQ(record(2).substr(0, 28), "PESEL=RS000000017&NICK=ewa2&");
}

}  // namespace
