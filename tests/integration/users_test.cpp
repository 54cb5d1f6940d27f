// add_usr and check_user through the real server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/record_paths.h"
#include "tests/support/record_text.h"
#include "tests/support/server_fixture.h"
#include "wire/message.h"

namespace {

using testing_support::entry;
using testing_support::person_dir;

using testing_support::central_server;
using testing_support::file_exists;
using testing_support::make_dirs;
using testing_support::is_euid;
using testing_support::is_uid32;
using testing_support::read_file;
using testing_support::undated;
using testing_support::write_file;

const std::string kNode = "NOD12345678901234567890123456789";
const std::string kNodeEuid(32, 'n');
const std::string kRefusedInput = "RE=add_usr&STATUS=refused&CP=incorrect_qvector&";

std::string node_line(const std::string& uid32, const std::string& euid) {
  return "UID32=" + uid32 + "&EUID=" + euid +
         "&NAME=Firm&DEP=7&PUID=9100&PORTP=9101&PORTQ=9102&NODES=1&DATE=20260101-10:00:00&\n";
}

std::string user_line(const std::string& uid32, const std::string& euid, const std::string& uidp,
                      const std::string& euidp) {
  return "UID32=" + uid32 + "&EUID=" + euid + "&UIDP=" + uidp + "&EUIDP=" + euidp +
         "&PESEL=44051401359&DEP=7&NAME=Jan&STAT=user&RANGE=null&ACT=null&DATE=20260101-10:00:00&\n";
}

std::size_t files_below(const std::string& dir) {
  std::size_t n = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) ++n;
  return n;
}

struct added {
  std::string reply, line, uidp, euidp;
};

class Users : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output() << server.errors(); }

  std::string add_request(const std::string& pesel, const std::string& stat, const std::string& extra = "",
                          const std::string& name = "Jan Kowalski") const {
    return "OP=add_usr&UID32=" + kNode + "&EUID=" + kNodeEuid + "&UIDP=x&EUIDP=" + std::string(32, 'q') +
           "&PESEL=" + pesel + "&DEP=7&NAME=" + name + "&STAT=" + stat + "&" + extra;
  }

  // add_usr that must succeed; the stored line and the user's own pair.
  added add(const std::string& request) const {
    added a;
    a.reply = server.ask(request);
    const std::string done = "RE=add_usr&STATUS=done&";
    if (a.reply.compare(0, done.size(), done) != 0) return a;
    a.line = a.reply.substr(done.size());
    char uidp[512], euidp[512];
    if (select_value(a.line.c_str(), "UIDP", uidp) == field_found) a.uidp = uidp;
    if (select_value(a.line.c_str(), "EUIDP", euidp) == field_found) a.euidp = euidp;
    return a;
  }

  std::string check(const std::string& uid32, const std::string& euid, const std::string& uidp,
                    const std::string& euidp) const {
    return server.ask("OP=check_user&UID32=" + uid32 + "&EUID=" + euid + "&UIDP=" + uidp + "&EUIDP=" + euidp + "&");
  }

  void write_node(const std::string& uid32, const std::string& content) const {
    make_dirs(server.path(entry(uid32)));
    write_file(server.path(entry(uid32) + "/node.q"), content);
  }

  central_server server{testing_support::with_letter_levels()};
};

TEST_F(Users, ANewAdministratorGetsAFreshPairAndOneLineInAllFourPlaces) {
  added a = add(add_request("44051401359", "admin", "RANGE=5&"));
  ASSERT_TRUE(is_uid32(a.uidp)) << a.reply;
  ASSERT_TRUE(is_euid(a.euidp)) << a.reply;
  EXPECT_NE(a.euidp, std::string(32, 'q'));
  EXPECT_EQ(undated(a.line), "UID32=" + kNode + "&EUID=" + kNodeEuid + "&UIDP=" + a.uidp + "&EUIDP=" + a.euidp +
                                 "&PESEL=44051401359&DEP=7&NAME=Jan Kowalski&STAT=admin&RANGE=11111111&ACT=A&");

  const std::string stored = a.line + "\n";
  EXPECT_EQ(read_file(server.path(entry(a.uidp) + "/usr.q")), stored);
  EXPECT_EQ(read_file(server.path(person_dir("44051401359") + "/pesel.usr")), stored);
  EXPECT_EQ(read_file(server.path("DISK/LIST/list_pesel_usr.q")), stored);
  EXPECT_EQ(read_file(server.path("DISK/LIST/list_uid32base.q")), stored);

  // Two new persons never share a pair.
  added b = add(add_request("02070803628", "admin"));
  EXPECT_NE(b.uidp, a.uidp);
  EXPECT_NE(b.euidp, a.euidp);
}

TEST_F(Users, TheRoleDecidesStatRangeAndAct) {
  struct row {
    std::string pesel, stat, extra, expected;
  };
  const row rows[] = {
      {"RS000000001", "admin", "ACT=Z&", "STAT=admin&RANGE=11111111&ACT=Z&"},
      {"RS000000002", "admin", "RANGE=null&ACT=null&", "STAT=admin&RANGE=11111111&ACT=A&"},
      {"RS000000003", "boss", "RANGE=5&", "STAT=user&RANGE=5&ACT=null&"},
      {"RS000000004", "Admin", "RANGE=5&ACT=B&", "STAT=user&RANGE=5&ACT=B&"},
      {"RS000000005", "", "", "STAT=user&RANGE=null&ACT=null&"},
  };
  for (const row& r : rows) {
    added a = add(add_request(r.pesel, r.stat, r.extra));
    const std::string tail = "&NAME=Jan Kowalski&" + r.expected;
    const std::string head = undated(a.line);
    EXPECT_TRUE(head.size() > tail.size() && head.compare(head.size() - tail.size(), tail.size(), tail) == 0)
        << a.reply;
    EXPECT_EQ(read_file(server.path(entry(a.uidp) + "/usr.q")), a.line + "\n") << r.pesel;
  }
}

TEST_F(Users, AKnownPersonKeepsTheStoredIdentifiersDepartmentAndName) {
  added first = add(add_request("44051401359", "admin"));
  ASSERT_FALSE(first.line.empty()) << first.reply;

  added second = add("OP=add_usr&UID32=OTHER&EUID=other&UIDP=ZZZ1&EUIDP=zzz&PESEL=44051401359&DEP=9&NAME=Anna&"
                     "STAT=clerk&RANGE=9&ACT=Q&");
  EXPECT_EQ(undated(second.line), "UID32=" + kNode + "&EUID=" + kNodeEuid + "&UIDP=" + first.uidp + "&EUIDP=" +
                                      first.euidp + "&PESEL=44051401359&DEP=7&NAME=Jan Kowalski&STAT=user&RANGE=9&ACT=Q&");
  const std::string both = first.line + "\n" + second.line + "\n";
  EXPECT_EQ(read_file(server.path(entry(first.uidp) + "/usr.q")), both);
  EXPECT_EQ(read_file(server.path(person_dir("44051401359") + "/pesel.usr")), both);
  EXPECT_EQ(read_file(server.path("DISK/LIST/list_uid32base.q")), both);

  // Fields missing from a stored line are recorded as "null".
  make_dirs(server.path(person_dir("02070803628")));
  write_file(server.path(person_dir("02070803628") + "/pesel.usr"),
             "UID32=N1&EUID=e1&UIDP=ABC1&EUIDP=p1&PESEL=02070803628&\n");
  added third = add(add_request("02070803628", "user"));
  EXPECT_EQ(undated(third.line),
            "UID32=N1&EUID=e1&UIDP=ABC1&EUIDP=p1&PESEL=02070803628&DEP=null&NAME=null&STAT=user&RANGE=null&ACT=null&");
  EXPECT_EQ(read_file(server.path(entry("ABC1") + "/usr.q")), third.line + "\n");
}

TEST_F(Users, AnEmptyPersonFileMeansANewUser) {
  make_dirs(server.path(person_dir("44051401359")));
  write_file(server.path(person_dir("44051401359") + "/pesel.usr"), "");
  added a = add(add_request("44051401359", "user"));
  EXPECT_TRUE(is_uid32(a.uidp)) << a.reply;
  EXPECT_EQ(read_file(server.path(person_dir("44051401359") + "/pesel.usr")), a.line + "\n");
}

TEST_F(Users, BadInputIsRefusedBeforeAnythingIsWritten) {
  const std::string ok = add_request("44051401359", "user");
  auto without = [&](const std::string& key) {
    std::string m = ok;
    std::size_t at = m.find("&" + key + "=") + 1;
    return m.erase(at, m.find('&', at) - at + 1);
  };
  // 260 characters of the reply are not the name: the name may have 251.
  const std::string at_limit = add_request("44051401359", "user", "", std::string(251, 'n'));
  const std::vector<std::string> refused = {
      // Without UIDP its key still matches inside "EUIDP=", so it is not missed.
      without("UID32"), without("EUID"), without("EUIDP"), without("PESEL"), without("DEP"), without("NAME"),
      without("STAT"),
      add_request("44051401358", "user"),                               // check digit
      add_request("4405140135", "user"),                                // length
      add_request("44051401359", "user", "", std::string(256, 'n')),    // name limit
      add_request("44051401359", "user", "", std::string(252, 'n')),    // the reply would pass 511
      add_request("44051401359", "user", "RANGE=" + std::string(40, 'r') + "&"),
      add_request("44051401359", "user", "ACT=" + std::string(40, 'a') + "&"),
      add_request("44051401359", "user", "", "Jan\nUID32=X"),           // would split the line
      "OP=add_usr&UID32=" + std::string(40, 'U') + "&EUID=e&UIDP=x&EUIDP=y&PESEL=44051401359&DEP=7&NAME=n&STAT=s&",
      "OP=add_usr&",
  };
  for (const std::string& m : refused) EXPECT_EQ(server.ask(m), kRefusedInput) << m;
  EXPECT_EQ(files_below(server.path("DISK/PESEL")), 0u);
  EXPECT_EQ(files_below(server.path("DISK/LIST")), 0u);
  EXPECT_EQ(files_below(server.path("DISK/UID32BASE")), 0u);

  added a = add(at_limit);
  EXPECT_EQ(a.reply.size(), 511u) << a.reply;
  EXPECT_EQ(read_file(server.path("DISK/LIST/list_pesel_usr.q")), a.line + "\n");
}

// A carriage return in a value used to refuse the user with incorrect_qvector.
TEST_F(Users, CarriageReturnsInValuesAreNoLongerRefusedButStoredAsSent) {
  write_node(kNode, node_line(kNode, kNodeEuid));
  added a = add(add_request("44051401359", "user", "RANGE=1\r2&ACT=\r&", "Jan\rKowalski"));
  ASSERT_FALSE(a.uidp.empty()) << a.reply;
  EXPECT_NE(a.line.find("&NAME=Jan\rKowalski&STAT=user&RANGE=1\r2&ACT=\r&"), std::string::npos) << a.line;
  const std::string stored = a.line + "\n";
  EXPECT_EQ(read_file(server.path(entry(a.uidp) + "/usr.q")), stored);
  EXPECT_EQ(read_file(server.path(person_dir("44051401359") + "/pesel.usr")), stored);
  EXPECT_EQ(read_file(server.path("DISK/LIST/list_pesel_usr.q")), stored);
  EXPECT_EQ(read_file(server.path("DISK/LIST/list_uid32base.q")), stored);
  EXPECT_EQ(check(kNode, kNodeEuid, a.uidp, a.euidp), "RE=check_user&STATUS=done&");
  EXPECT_EQ(server.ask(add_request("02070803628", "user", "ACT=\n&")), kRefusedInput) << "a line feed still splits";
}

TEST_F(Users, ARecordThatCannotBeStoredNamesTheRole) {
  auto known = [&](const std::string& pesel, const std::string& uidp) {
    make_dirs(server.path(person_dir(pesel)));
    write_file(server.path(person_dir(pesel) + "/pesel.usr"),
               "UID32=N&EUID=e&UIDP=" + uidp + "&EUIDP=p&PESEL=" + pesel + "&DEP=1&NAME=n&STAT=user&\n");
  };
  known("RS000000001", "abc12345678901234567890123456789");  // no such letter levels
  known("RS000000002", "../..");                             // would leave the base
  known("RS000000003", "AB");
  EXPECT_EQ(server.ask(add_request("RS000000001", "admin")), "RE=add_usr&STATUS=refused&CP=no_file[1]&");
  EXPECT_EQ(server.ask(add_request("RS000000002", "user")), "RE=add_usr&STATUS=refused&CP=no_file[2]&");
  EXPECT_EQ(server.ask(add_request("RS000000003", "admin")), "RE=add_usr&STATUS=refused&CP=no_file[1]&");
  EXPECT_FALSE(file_exists(server.path("usr.q")));
  EXPECT_EQ(files_below(server.path("DISK/UID32BASE")), 0u);

  // The person's file fails after the user's entry was written; the journals
  // get nothing.
  make_dirs(server.path(person_dir("44051401359") + "/pesel.usr"));
  EXPECT_EQ(server.ask(add_request("44051401359", "user")), "RE=add_usr&STATUS=refused&CP=no_file[2]&");
  std::vector<std::string> written;
  for (const auto& e : std::filesystem::recursive_directory_iterator(server.path("DISK/UID32BASE")))
    if (e.is_regular_file()) written.push_back(read_file(e.path()));
  ASSERT_EQ(written.size(), 1u);
  ASSERT_FALSE(written[0].empty());
  written[0].pop_back();  // the newline
  char uidp[512], euidp[512];
  ASSERT_EQ(select_value(written[0].c_str(), "UIDP", uidp), field_found);
  ASSERT_EQ(select_value(written[0].c_str(), "EUIDP", euidp), field_found);
  EXPECT_EQ(undated(written[0]), "UID32=" + kNode + "&EUID=" + kNodeEuid + "&UIDP=" + uidp + "&EUIDP=" + euidp +
                                     "&PESEL=44051401359&DEP=7&NAME=Jan Kowalski&STAT=user&RANGE=null&ACT=null&");
  EXPECT_EQ(files_below(server.path("DISK/LIST")), 0u);
}

TEST(UsersWithoutLetterLevels, ANewUserCannotBeStored) {
  central_server server;
  ASSERT_TRUE(server.start());
  const std::string rest = "&EUID=e&UIDP=x&EUIDP=y&PESEL=44051401359&DEP=7&NAME=n&";
  EXPECT_EQ(server.ask("OP=add_usr&UID32=N" + rest + "STAT=admin&"), "RE=add_usr&STATUS=refused&CP=no_file[1]&");
  EXPECT_EQ(server.ask("OP=add_usr&UID32=N" + rest + "STAT=user&"), "RE=add_usr&STATUS=refused&CP=no_file[2]&");
}

TEST_F(Users, CheckUserFollowsTheLastNodeLineAndTheLastUserLine) {
  added a = add(add_request("44051401359", "user"));
  ASSERT_FALSE(a.line.empty()) << a.reply;
  write_node(kNode, node_line(kNode, kNodeEuid));
  const std::string done = "RE=check_user&STATUS=done&";
  const std::string node = "RE=check_user&STATUS=refused&CP=blocked_node&";
  const std::string user = "RE=check_user&STATUS=refused&CP=blocked_user&";

  EXPECT_EQ(check(kNode, kNodeEuid, a.uidp, a.euidp), done);
  EXPECT_EQ(check("NOE12345678901234567890123456789", kNodeEuid, a.uidp, a.euidp), node);  // unknown node
  EXPECT_EQ(check(kNode, std::string(32, 'm'), a.uidp, a.euidp), node);
  EXPECT_EQ(check(kNode, kNodeEuid, "ABC12345678901234567890123456789", a.euidp), node);  // no usr.q
  EXPECT_EQ(check(kNode, kNodeEuid, a.uidp, std::string(32, 'z')), user);

  const std::string usr_q = server.path(entry(a.uidp) + "/usr.q");
  const std::string blocked(32, 'b');
  write_file(usr_q, read_file(usr_q) + user_line(kNode, kNodeEuid, a.uidp, blocked));
  EXPECT_EQ(check(kNode, kNodeEuid, a.uidp, a.euidp), user);
  EXPECT_EQ(check(kNode, kNodeEuid, a.uidp, blocked), done);

  // The user line names another node pair and another EUIDP: the user
  // mismatch wins; with the user's own pair intact it is the node's.
  write_file(usr_q, read_file(usr_q) + user_line(kNode, std::string(32, 'o'), a.uidp, std::string(32, 'c')));
  EXPECT_EQ(check(kNode, kNodeEuid, a.uidp, blocked), user);
  write_file(usr_q, read_file(usr_q) + user_line("NOE1", kNodeEuid, a.uidp, blocked));
  EXPECT_EQ(check(kNode, kNodeEuid, a.uidp, blocked), node);
  write_file(usr_q, read_file(usr_q) + user_line(kNode, kNodeEuid, a.uidp, blocked));
  EXPECT_EQ(check(kNode, kNodeEuid, a.uidp, blocked), done);

  // A department block gives the node's last line a new EUID: the old pair
  // no longer holds, and the new one does not match the user's record.
  const std::string renewed(32, 'r');
  write_node(kNode, node_line(kNode, kNodeEuid) + node_line(kNode, renewed));
  EXPECT_EQ(check(kNode, kNodeEuid, a.uidp, blocked), node);
  EXPECT_EQ(check(kNode, renewed, a.uidp, blocked), node);
  // Only the last node line counts.
  write_node(kNode, node_line(kNode, renewed) + node_line(kNode, kNodeEuid));
  EXPECT_EQ(check(kNode, kNodeEuid, a.uidp, blocked), done);
}

TEST_F(Users, CheckUserNeverLooksOutsideTheBase) {
  // Files that would match, planted where "../.." from the letter levels leads.
  const std::string uidp = "ABC12345678901234567890123456789", euidp(32, 'p');
  write_file(server.path("node.q"), node_line("../..", kNodeEuid));
  write_file(server.path("usr.q"), user_line(kNode, kNodeEuid, "../..", euidp));
  write_node(kNode, node_line(kNode, kNodeEuid));
  make_dirs(server.path(entry(uidp)));
  write_file(server.path(entry(uidp) + "/usr.q"), user_line("../..", kNodeEuid, uidp, euidp));

  const std::string node = "RE=check_user&STATUS=refused&CP=blocked_node&";
  EXPECT_EQ(check(kNode, kNodeEuid, "../..", euidp), node);
  EXPECT_EQ(check("../..", kNodeEuid, uidp, euidp), node);
  EXPECT_EQ(check("AB", kNodeEuid, uidp, euidp), node);
  EXPECT_EQ(check(kNode, kNodeEuid, "AB", euidp), node);
}

TEST_F(Users, CheckUserRefusesMissingOrOverlongIdentifiers) {
  const std::string u(32, 'U');
  for (const std::string& m : {
           std::string("OP=check_user&EUID=e&UIDP=u&EUIDP=p&"),
           std::string("OP=check_user&UID32=a&UIDP=u&EUIDP=p&"),
           std::string("OP=check_user&UID32=a&EUID=e&UIDP=u&EUIDP=p"),  // EUIDP unterminated
           std::string("OP=check_user&UID32=a&EUID=e&UIDP=u&"),  // EUIDP absent
           std::string("OP=check_user&UID32=NULL&EUID=e&UIDP=u&EUIDP=p&"),
           "OP=check_user&UID32=" + std::string(40, 'U') + "&EUID=e&UIDP=u&EUIDP=p&",
           "OP=check_user&UID32=a&EUID=e&UIDP=u&EUIDP=" + std::string(40, 'p') + "&",
       })
    EXPECT_EQ(server.ask(m), "RE=check_user&STATUS=refused&CP=incorrect_qvector&") << m;
}

}  // namespace
