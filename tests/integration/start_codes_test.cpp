// Start codes: the date rule and the file search as functions, the caller
// address rule, and issuing and verifying through the real server.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>

#include "ids/checks.h"
#include "registry/start_codes.h"
#include "store/settings.h"
#include "tests/support/server_fixture.h"
#include "tests/support/text_pattern.h"
#include "tests/support/scratch_settings.h"
#include "wire/message.h"

namespace {

using testing_support::central_server;
using testing_support::code_pattern;
using testing_support::matches;
using testing_support::file_exists;
using testing_support::read_file;
using testing_support::temp_dir;
using testing_support::write_file;

// YYYYMMDD of today plus days, local time.
std::string day(int days) {
  std::time_t t = std::time(nullptr) + days * 86400L;
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
  return buf;
}

TEST(ValidDate, ComparesTheLeadingNumberWithToday) {
  struct row {
    std::string date;
    int expected;
  } rows[] = {
      {day(0), 1},      {day(1), 1},         {day(-1), 0},        {"99991231", 1},
      {"2027-01-01", 0}, // read as 2027
      {"", 0},          {"abc", 0},          {"-20991231", 0},    {day(0) + "xyz", 1},
  };
  for (const row& r : rows) EXPECT_EQ(valid_date(r.date.c_str()), r.expected) << r.date;
}

TEST(CheckLineInFile, TheFirstLineHoldingThePatternDecides) {
  temp_dir dir;
  const std::string path = dir / "scode.q";
  write_file(path,
             "CODE=AAAA-BBBB-CCCC-DDDD-EEEE&VDATE=" + day(-1) + "&\n"
             "CODE=AAAA-BBBB-CCCC-DDDD-FFFF&\n"
             "CODE=AAAA-GGGG-CCCC-DDDD-EEEE&VDATE=null&\n"
             "CODE=AAAA-HHHH-CCCC-DDDD-EEEE&VDATE=" + day(0) + "&\n"
             "CODE=AAAA-IIII-CCCC-DDDD-EEEE&VDATE=&\n");
  struct row {
    const char* pattern;
    const char* mode;
    int expected;
  } rows[] = {
      {"AAAA-BBBB-CCCC-DDDD-EEEE", "CHECK-VALID-DATA", -1},  // expired
      {"AAAA-BBBB-CCCC-DDDD-EEEE", "null", 0},               // issuing ignores dates
      {"AAAA-BBBB", "CHECK-VALID-DATA", -1},                 // first match is the expired line
      {"FFFF", "CHECK-VALID-DATA", 0},                       // no VDATE: never expires
      {"GGGG", "CHECK-VALID-DATA", 0},                       // VDATE=null
      {"HHHH", "CHECK-VALID-DATA", 0},                       // valid through today
      {"IIII", "CHECK-VALID-DATA", -1},                      // empty date reads as 0
      {"ZZZZ", "null", -1},
  };
  for (const row& r : rows) EXPECT_EQ(check_line_in_file(path.c_str(), r.pattern, r.mode), r.expected) << r.pattern;
  EXPECT_EQ(check_line_in_file((dir / "missing").c_str(), "AAAA", "null"), -1);
}

TEST(FiltrLanIp, FirstOctetSubstringRule) {
  for (const char* a : {"127.0.0.1", "192.0.2.1", "10.1.2.3", "100.64.0.1", "210.1.1.1", "110.0.0.1"})
    EXPECT_EQ(filtr_lan_ip(a, "null"), 1) << a;
  for (const char* a : {"172.16.0.1", "8.8.8.8", "127", "", "1.127.0.1"}) EXPECT_EQ(filtr_lan_ip(a, "null"), 0) << a;
  EXPECT_EQ(filtr_lan_ip("8.8.8.8", "8.8.8.8"), 1);
  EXPECT_EQ(filtr_lan_ip("8.8.8.9", "8.8.8.8"), 0);
  EXPECT_EQ(filtr_lan_ip("127.0.0.1", "xnull"), 0);
}

// Letter levels that are links back to the start folder itself: every code's
// folder exists (they all share root/scode.q) at the cost of 26 links instead
// of 17,576 folders. Tests of the folder choice use the real levels.
void link_letter_levels(const std::string& root) {
  for (char c = 'A'; c <= 'Z'; ++c) std::filesystem::create_directory_symlink(".", root + "/" + c);
}

// The handler called directly, with the start folder in a scratch directory;
// every code's folder exists, so only the caller's address can refuse.
class StartCodeHandler : public testing_support::scratch_settings {
 protected:
  void SetUp() override {
    scratch_settings::SetUp();
    link_letter_levels(dir / "START");
  }
  std::string issue(const char* peer) {
    char buf[512];
    copy_text(buf, "OP=get_start_code&");
    start_code(buf, buf, peer);
    return buf;
  }
};

TEST_F(StartCodeHandler, OnlyTheLocalNetworkIsGivenCodes) {
  EXPECT_EQ(issue("8.8.8.8"), "RE=get_start_code&CODE=null&");
  EXPECT_EQ(issue("172.16.0.1"), "RE=get_start_code&CODE=null&");
  EXPECT_FALSE(file_exists(dir / "START/scode.q"));
  EXPECT_FALSE(file_exists(dir / "LIST/list_start_base.q"));
  for (const char* peer : {"127.0.0.1", "192.168.1.5", "10.0.0.7"})
    EXPECT_TRUE(matches(issue(peer), "RE=get_start_code&CODE=" + code_pattern + "&")) << peer;
  const std::string journal = read_file(dir / "LIST/list_start_base.q");
  EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 3);
  EXPECT_EQ(read_file(dir / "START/scode.q"), journal);
}

// Issues a code; returns the stored line and sets code, group and folder.
std::string issue(const central_server& server, const std::string& fields, std::string& code, std::string& group,
                  std::string& folder) {
  const std::string head = "RE=get_start_code&CODE=";
  std::string reply = server.ask("OP=get_start_code&" + fields);
  if (!matches(reply.substr(0, head.size() + code_pattern.size() + 1), head + code_pattern + "&")) {
    ADD_FAILURE() << reply;
    return {};
  }
  code = reply.substr(head.size(), code_pattern.size());
  group = code.substr(0, 4);
  folder = "DISK/START/" + code.substr(0, 1) + "/" + code.substr(1, 1) + "/" + code.substr(2, 1);
  return reply.substr(sizeof "RE=get_start_code&" - 1);
}

class StartCodesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link_letter_levels(server.path("DISK/START"));
    ASSERT_TRUE(server.start()) << server.output() << server.errors();
  }
  std::string issue(const std::string& fields, std::string& code, std::string& group, std::string& folder) {
    return ::issue(server, fields, code, group, folder);
  }
  std::string check(const std::string& code) { return server.ask("OP=chk_scode&CODE=" + code + "&"); }
  std::string journal() const { return read_file(server.path("DISK/LIST/list_start_base.q")); }
  central_server server;
};

constexpr char valid[] = "RE=chk_scode&STAT=done&";
constexpr char invalid[] = "RE=chk_scode&STAT=null&";

TEST_F(StartCodesTest, IssuedCodesAreStoredAndVerifyAnyNumberOfTimes) {
  std::string code, group, folder;
  std::string stored = issue("", code, group, folder);
  EXPECT_EQ(stored, "CODE=" + code + "&");
  EXPECT_EQ(read_file(server.path("DISK/START/scode.q")), stored + "\n");
  EXPECT_EQ(journal(), stored + "\n");

  EXPECT_EQ(check(code), valid);
  EXPECT_EQ(check(code), valid) << "verifying does not use the code up";
  EXPECT_EQ(check(group), valid) << "any part of three or more characters of an unexpired line";
  EXPECT_EQ(check(code.substr(0, 3)), valid);
  for (const std::string& bad : {code.substr(0, 2), std::string(), std::string("../x"), std::string("ZZZ-NOPE")})
    EXPECT_EQ(check(bad), invalid) << bad;
  EXPECT_EQ(server.ask("OP=chk_scode&"), invalid);
}

TEST_F(StartCodesTest, TheValidityDateIsStoredAsSentAndDecides) {
  struct row {
    std::string vdate;
    const char* verdict;
  } rows[] = {
      {day(0), valid}, {day(-1), invalid}, {"null", valid}, {"2027-01-01", invalid},
      {"2099" + std::string(38, '1'), valid},  // 42 characters: the longest that is stored
  };
  const std::string before = journal();
  std::string added;
  for (const row& r : rows) {
    std::string code, group, folder;
    std::string stored = issue("VDATE=" + r.vdate + "&", code, group, folder);
    EXPECT_EQ(stored, "CODE=" + code + "&VDATE=" + r.vdate + "&");
    EXPECT_NE(read_file(server.path(folder + "/scode.q")).find(stored + "\n"), std::string::npos);
    EXPECT_EQ(check(code), r.verdict) << r.vdate;
    added += stored + "\n";
  }
  EXPECT_EQ(journal(), before + added);

  for (const std::string& refused : {std::string(43, '2'), std::string("2099\n0101")})
    EXPECT_EQ(server.ask("OP=get_start_code&VDATE=" + refused + "&"), "RE=get_start_code&CODE=null&");
  EXPECT_EQ(journal(), before + added) << "nothing written for a refusal";
}

TEST_F(StartCodesTest, OnlyTheFirstLineThatHoldsTheCodeDecides) {
  const std::string code = "QQQA-BBBB-CCCC-DDDD-EEEE";
  write_file(server.path("DISK/START/Q/Q/Q/scode.q"),
             "CODE=" + code + "&VDATE=20000101&\nCODE=" + code + "&\nCODE=QQQB-BBBB-CCCC-DDDD-EEEE&\n");
  EXPECT_EQ(check(code), invalid);
  EXPECT_EQ(check("QQQB"), valid);
  EXPECT_EQ(check("QQQ"), invalid);
}

TEST(StartCodesInLetterFolders, EachCodeLandsInTheFolderOfItsFirstThreeLetters) {
  central_server server(testing_support::with_letter_levels());
  ASSERT_TRUE(server.start());
  std::string journal;
  for (int i = 0; i < 3; ++i) {
    std::string code, group, folder;
    std::string stored = issue(server, "", code, group, folder);
    EXPECT_EQ(read_file(server.path(folder + "/scode.q")), stored + "\n") << folder;
    EXPECT_EQ(server.ask("OP=chk_scode&CODE=" + code + "&"), valid);
    journal += stored + "\n";
  }
  EXPECT_EQ(read_file(server.path("DISK/LIST/list_start_base.q")), journal);
}

TEST(StartCodesWithoutLetterLevels, NoCodeCanBeIssued) {
  central_server server;
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.ask("OP=get_start_code&"), "RE=get_start_code&CODE=null&");
  EXPECT_FALSE(file_exists(server.path("DISK/LIST/list_start_base.q")));
}

}  // namespace
