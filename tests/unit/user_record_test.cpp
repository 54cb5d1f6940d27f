// User records: parsing requests and stored lines, composing both forms, the
// four places a version goes to, and reading the current version back.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "registry/user_record.h"
#include "store/settings.h"
#include "tests/support/record_text.h"
#include "tests/support/server_fixture.h"
#include "tests/support/scratch_settings.h"
#include "wire/message.h"

namespace {

using testing_support::file_exists;
using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::temp_dir;
using testing_support::undated;
using testing_support::write_file;

constexpr char kPesel[] = "44051401359";  // valid check digit
constexpr char kUidp[] = "ABC12345678901234567890123456789";

struct parsed {
  user_field uid32, euid, uidp, euidp, pesel, dep, stat, range, act;
  user_name name;
  int result;
  explicit parsed(const std::string& text) {
    result = strip_user_string(text.c_str(), uid32, euid, uidp, euidp, pesel, dep, name, stat, range, act);
  }
};

const std::string kRequest =
    "OP=add_usr&UID32=NOD1&EUID=neuid&UIDP=u1&EUIDP=e1&PESEL=44051401359&DEP=7&NAME=Jan Kowalski&"
    "STAT=admin&RANGE=101&ACT=X&";

TEST(StripUserString, ReadsEveryFieldOfARequest) {
  parsed p(kRequest);
  EXPECT_EQ(p.result, 1);
  EXPECT_STREQ(p.uid32, "NOD1");
  EXPECT_STREQ(p.euid, "neuid");
  EXPECT_STREQ(p.uidp, "u1");
  EXPECT_STREQ(p.euidp, "e1");
  EXPECT_STREQ(p.pesel, kPesel);
  EXPECT_STREQ(p.dep, "7");
  EXPECT_STREQ(p.name, "Jan Kowalski");
  EXPECT_STREQ(p.stat, "admin");
  EXPECT_STREQ(p.range, "101");
  EXPECT_STREQ(p.act, "X");
}

std::string replace_field(std::string text, const std::string& key, const std::string& value) {
  std::size_t at = text.find("&" + key + "=") + 1;
  std::size_t end = text.find('&', at);
  return text.replace(at, end - at, key + "=" + value);
}

std::string drop_field(std::string text, const std::string& key) {
  std::size_t at = text.find("&" + key + "=") + 1;
  return text.erase(at, text.find('&', at) - at + 1);
}

TEST(StripUserString, RefusesMissingOverlongOrBrokenValuesAndStillFillsEveryBuffer) {
  struct row {
    std::string text;
    int result;
    const char* field;  // the buffer to look at
    std::string expected;
  };
  const row rows[] = {
      {drop_field(drop_field(kRequest, "RANGE"), "ACT"), 1, "range", "null"},
      {drop_field(drop_field(kRequest, "RANGE"), "ACT"), 1, "act", "null"},
      {drop_field(kRequest, "NAME"), 0, "name", "null"},
      {drop_field(kRequest, "UID32"), 0, "uid32", "null"},
      {drop_field(kRequest, "EUID"), 0, "euid", "null"},
      {drop_field(kRequest, "DEP"), 0, "dep", "null"},
      {drop_field(kRequest, "STAT"), 0, "stat", "null"},
      {drop_field(kRequest, "PESEL"), 0, "pesel", "null"},
      {drop_field(kRequest, "PESEL"), 0, "name", "Jan Kowalski"},  // filled despite the failure
      {replace_field(kRequest, "PESEL", "44051401358"), 0, "pesel", "44051401358"},
      {replace_field(kRequest, "PESEL", "4405140135"), 0, "pesel", "4405140135"},
      {replace_field(kRequest, "NAME", "null"), 1, "name", "null"},  // "null" is a value
      {replace_field(kRequest, "NAME", "NULL"), 0, "name", "null"},  // as select_value reports absence
      {replace_field(kRequest, "NAME", std::string(255, 'n')), 1, "name", std::string(255, 'n')},
      {replace_field(kRequest, "NAME", std::string(256, 'n')), 0, "name", "null"},
      {replace_field(kRequest, "RANGE", std::string(39, 'r')), 1, "range", std::string(39, 'r')},
      {replace_field(kRequest, "RANGE", std::string(40, 'r')), 0, "range", "null"},
      {replace_field(kRequest, "ACT", std::string(40, 'a')), 0, "act", "null"},
      {replace_field(kRequest, "DEP", std::string(40, 'd')), 0, "dep", "null"},
      {replace_field(kRequest, "EUIDP", std::string(40, 'e')), 0, "euidp", "null"},
      {replace_field(kRequest, "NAME", "Jan\nUID32=X"), 0, "name", "Jan\nUID32=X"},
      {replace_field(kRequest, "ACT", "A\n"), 0, "act", "A\n"},
      {replace_field(kRequest, "DEP", "\n7"), 0, "dep", "\n7"},
      // Only a line feed splits a stored line: a carriage return is a value.
      {replace_field(kRequest, "NAME", "Jan\rKowalski"), 1, "name", "Jan\rKowalski"},
      {replace_field(kRequest, "RANGE", "1\r"), 1, "range", "1\r"},
      {"OP=", 0, "uid32", "null"},  // too short to hold a field: nothing left unset
      {"OP=", 0, "range", "null"},
      // UIDP matches inside EUIDP=, so a request must carry UIDP first.
      {"EUIDP=first&UIDP=second&UID32=a&EUID=b&PESEL=44051401359&DEP=1&NAME=n&STAT=s&", 1, "uidp", "first"},
  };
  for (const row& r : rows) {
    parsed p(r.text);
    const std::string field = r.field;
    const char* got = field == "uid32"   ? p.uid32
                      : field == "euid"  ? p.euid
                      : field == "uidp"  ? p.uidp
                      : field == "euidp" ? p.euidp
                      : field == "pesel" ? p.pesel
                      : field == "dep"   ? p.dep
                      : field == "name"  ? p.name
                      : field == "stat"  ? p.stat
                      : field == "range" ? p.range
                                         : p.act;
    EXPECT_EQ(p.result, r.result) << r.text;
    EXPECT_EQ(got, r.expected) << r.text;
  }
}

TEST(CreateUserLine, BothFormsInTheirFixedOrderClosedByTheDate) {
  user_line full, small;
  ASSERT_EQ(create_user_qstring_full("U", "E", "UP", "EP", kPesel, "7", "Jan", "user", "null", "A", full), 0);
  EXPECT_EQ(undated(full),
            "UID32=U&EUID=E&UIDP=UP&EUIDP=EP&PESEL=44051401359&DEP=7&NAME=Jan&STAT=user&RANGE=null&ACT=A&");
  ASSERT_EQ(create_user_small_string("U", "E", "UP", "EP", kPesel, "7", "Jan", "user", small), 0);
  EXPECT_EQ(undated(small), "UID32=U&EUID=E&UIDP=UP&EUIDP=EP&PESEL=44051401359&DEP=7&NAME=Jan&STAT=user&");

  // A stored line parses back into the same values.
  parsed p(full);
  EXPECT_EQ(p.result, 1);
  EXPECT_STREQ(p.uidp, "UP");
  EXPECT_STREQ(p.euidp, "EP");
  EXPECT_STREQ(p.act, "A");
}

TEST(CreateUserLine, RefusesALinePastTheRecordLimit) {
  // 62 characters of keys and separators, 23 of DATE, 261 of the values below.
  const std::string id(32, 'I'), long39(39, 'x');
  auto full = [&](std::size_t name_len, user_line& out) {
    return create_user_qstring_full(id.c_str(), id.c_str(), id.c_str(), id.c_str(), kPesel, long39.c_str(),
                                    std::string(name_len, 'n').c_str(), "admin", long39.c_str(), long39.c_str(),
                                    out);
  };
  user_line out;
  ASSERT_EQ(full(164, out), 0);
  EXPECT_EQ(std::string(out).size(), 510u);
  EXPECT_EQ(full(165, out), -1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(full(255, out), -1);

  const std::string name(255, 'n');
  EXPECT_EQ(create_user_small_string(long39.c_str(), long39.c_str(), long39.c_str(), long39.c_str(), kPesel,
                                     long39.c_str(), name.c_str(), long39.c_str(), out),
            -1);
}

// Settings pointed into a scratch directory with the letter levels of kUidp.
class UserStore : public testing_support::scratch_settings {
 protected:
  void SetUp() override {
    scratch_settings::SetUp();
    make_dirs(dir / "UID32BASE/A/B/C");
  }

  std::string usr_q(const std::string& uidp = kUidp) const {
    return dir / ("UID32BASE/A/B/C/" + uidp + "/usr.q");
  }
  std::string pesel_usr() const { return dir / "PESEL/44/05/14/01/35/9/pesel.usr"; }
  std::string journal(const char* name) const { return dir / (std::string("LIST/") + name); }
  std::size_t entries_below(const std::string& rel) const {
    std::size_t n = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(dir / rel);
         it != std::filesystem::recursive_directory_iterator(); ++it)
      ++n;
    return n;
  }

};

TEST_F(UserStore, EveryVersionGoesByteForByteToAllFourPlacesAndTheLastIsCurrent) {
  const char* first = "UID32=N&EUID=e&UIDP=ABC12345678901234567890123456789&EUIDP=x&PESEL=44051401359&DATE=1&";
  const char* second = "UID32=N&EUID=e&UIDP=ABC12345678901234567890123456789&EUIDP=y&PESEL=44051401359&DATE=2&";
  ASSERT_EQ(save_user_to_structures(kUidp, kPesel, first), 0);
  ASSERT_EQ(save_user_to_structures(kUidp, kPesel, second), 0);

  const std::string both = std::string(first) + "\n" + second + "\n";
  EXPECT_EQ(read_file(usr_q()), both);
  EXPECT_EQ(read_file(pesel_usr()), both);
  EXPECT_EQ(read_file(journal("list_pesel_usr.q")), both);
  EXPECT_EQ(read_file(journal("list_uid32base.q")), both);

  struct stat st{};
  ASSERT_EQ(::stat((dir / ("UID32BASE/A/B/C/" + std::string(kUidp))).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  user_line out;
  EXPECT_EQ(check_user_pesel(kPesel, out), 0);
  EXPECT_STREQ(out, second);
  EXPECT_EQ(read_user_from_pesel(kPesel, out), 0);
  EXPECT_EQ(std::string(out), std::string(second) + "\n");
}

TEST_F(UserStore, APersonWithoutUsersOrAShortField) {
  user_line out;
  EXPECT_EQ(check_user_pesel(kPesel, out), -1);
  EXPECT_STREQ(out, "null");
  EXPECT_EQ(read_user_from_pesel(kPesel, out), -1);
  EXPECT_EQ(check_user_pesel("4405140135", out), -2);
  EXPECT_STREQ(out, "null");
  EXPECT_EQ(read_user_from_pesel("4405140135", out), -1);
  EXPECT_EQ(check_user_pesel("440514013590", out), -2);

  // A file without a line counts as no users.
  make_dirs(dir / "PESEL/44/05/14/01/35/9");
  write_file(pesel_usr(), "");
  EXPECT_EQ(check_user_pesel(kPesel, out), -1);
  EXPECT_STREQ(out, "null");
  EXPECT_EQ(read_user_from_pesel(kPesel, out), -1);
}

TEST_F(UserStore, AUserEntryThatCannotBeWrittenStopsBeforeAnythingElse) {
  // No letter levels X/Y/Z, and keys that would leave the base.
  for (const char* uidp : {"XYZ12345678901234567890123456789", "../..", "AB", "ABC/.."}) {
    EXPECT_EQ(save_user_to_structures(uidp, kPesel, "UID32=N&"), -1) << uidp;
    EXPECT_FALSE(file_exists(dir / "usr.q")) << uidp;
  }
  EXPECT_EQ(entries_below("PESEL"), 0u);
  EXPECT_EQ(entries_below("LIST"), 0u);
}

TEST_F(UserStore, APersonFileThatCannotBeWrittenKeepsTheUserEntryAndSkipsTheJournals) {
  // A directory in the place of pesel.usr cannot be appended to.
  make_dirs(pesel_usr());
  EXPECT_EQ(save_user_to_structures(kUidp, kPesel, "UID32=N&"), -1);
  EXPECT_EQ(read_file(usr_q()), "UID32=N&\n");
  EXPECT_EQ(entries_below("LIST"), 0u);

  // A field that names no PESEL-base directory fails at the same step.
  EXPECT_EQ(save_user_to_structures(kUidp, "4405140135", "UID32=M&"), -1);
  EXPECT_EQ(read_file(usr_q()), "UID32=N&\nUID32=M&\n");
}

TEST_F(UserStore, AVersionTheJournalsCannotTakeIsTakenBackAndRefused) {
  ASSERT_TRUE(copy_text(list_base, dir / "NO/SUCH/LIST"));
  EXPECT_EQ(save_user_to_structures(kUidp, kPesel, "UID32=N&"), -1);
  EXPECT_EQ(read_file(usr_q()), "");
  EXPECT_EQ(read_file(pesel_usr()), "");

  // The retry once the journals can be written stores one whole version.
  ASSERT_TRUE(copy_text(list_base, dir / "LIST"));
  EXPECT_EQ(save_user_to_structures(kUidp, kPesel, "UID32=N&"), 0);
  EXPECT_EQ(read_file(usr_q()), "UID32=N&\n");
  EXPECT_EQ(read_file(pesel_usr()), "UID32=N&\n");
  EXPECT_EQ(read_file(dir / "LIST/list_pesel_usr.q"), "UID32=N&\n");
  EXPECT_EQ(read_file(dir / "LIST/list_uid32base.q"), "UID32=N&\n");
}

TEST_F(UserStore, ALinePastTheRecordLimitIsNotWritten) {
  EXPECT_EQ(save_user_to_structures(kUidp, kPesel, std::string(511, 'x').c_str()), -1);
  EXPECT_EQ(entries_below("UID32BASE/A/B/C"), 0u);
  EXPECT_EQ(entries_below("PESEL"), 0u);
}

}  // namespace
