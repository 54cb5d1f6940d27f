// add_department and get_dep_data through the real server: replies, cause
// codes and the exact bytes left in the trees and journals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/support/record_paths.h"
#include "tests/support/dated_text.h"
#include "tests/support/server_fixture.h"

namespace {

using testing_support::entry;

using testing_support::central_server;
using testing_support::file_exists;
using testing_support::is_date_field;
using testing_support::value_of;
using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::write_file;

const std::string pesel_journal = "DISK/LIST/list_pesel_nod.q";
const std::string node_journal = "DISK/LIST/list_uid32base.q";

// Valid identifiers from a stem of digits, so that every test has firms of
// its own: "N" + 9 digits + check digit (the stem's last digit is raised
// until the check digit exists), "RN" + 8 digits + check digit.
std::string nip(std::string stem) {
  static const int w[] = {6, 5, 7, 2, 3, 4, 5, 6, 7};
  for (;;) {
    int s = 0;
    for (int i = 0; i < 9; ++i) s += w[i] * (stem[i] - '0');
    if (s % 11 != 10) return "N" + stem + char('0' + s % 11);
    ++stem[8];
  }
}
std::string regon(const std::string& stem) {
  static const int w[] = {8, 9, 2, 3, 4, 5, 6, 7};
  int s = 0;
  for (int i = 0; i < 8; ++i) s += w[i] * (stem[i] - '0');
  return "RN" + stem + char('0' + s % 11 % 10);
}
// The PESEL-base leaf directory of an identifier, and its pesel.nod.
std::string leaf(const std::string& id) {
  return "DISK/PESEL/" + id.substr(0, 2) + "/" + id.substr(2, 2) + "/" + id.substr(4, 2) + "/" + id.substr(6, 2) +
         "/" + id.substr(8, 2) + "/" + id.substr(10, 1);
}
std::string nod(const std::string& id) { return leaf(id) + "/pesel.nod"; }
std::string add_request(const std::string& dep, const std::string& nip, const std::string& regon,
                        const std::string& name = "Shop", const std::string& ports = "PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&") {
  return "OP=add_department&NAME=" + name + "&DEP=" + dep + "&NIP=" + nip + "&REGON=" + regon + "&" + ports;
}

void expect_dated_lines(const std::string& text, std::initializer_list<std::string> lines) {
  EXPECT_TRUE(testing_support::is_dated_lines(text, lines)) << text;
}

bool all_of_range(const std::string& s, char lo, char hi) {
  return std::all_of(s.begin(), s.end(), [&](char c) { return c >= lo && c <= hi; });
}

// A firm's first department needs the letter levels of its random UID32.
TEST(DepartmentFreshPair, FirstDepartmentsGetAPairThatLaterDepartmentsShare) {
  central_server server(testing_support::with_linked_letter_levels());
  ASSERT_TRUE(server.start()) << server.output() << server.errors();
  auto file = [&](const std::string& rel) { return read_file(server.path(rel)); };

  // A firm with both identifiers.
  const std::string n = nip("100000000"), r = regon("10000000");
  std::string first = server.ask(add_request("7", n, r));
  const std::string uid = value_of(first, "UID32"), euid = value_of(first, "EUID");
  ASSERT_EQ(uid.size(), 32u) << first;
  EXPECT_TRUE(all_of_range(uid.substr(0, 3), 'A', 'Z') && all_of_range(uid.substr(3), '0', '9')) << uid;
  EXPECT_TRUE(euid.size() == 32 && all_of_range(euid, 'a', 'z')) << euid;
  const std::string head = "RE=add_department&STATUS=done&UID32=" + uid + "&EUID=" + euid + "&NAME=Shop&DEP=7&NIP=" +
                           n + "&REGON=" + r + "&PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&";
  EXPECT_EQ(first.substr(0, head.size()), head);
  EXPECT_TRUE(is_date_field(first.substr(head.size()))) << first;
  const std::string pair = "UID32=" + uid + "&EUID=" + euid;
  // DEP "Kb" occurs in none of the firm's lines: it takes over the pair.
  std::string second = server.ask(add_request("Kb", n, r, "Store", "PUID=7001&PORTP=7002&PORTQ=7003&NODES=5&"));
  EXPECT_EQ(value_of(second, "STATUS"), "done") << second;
  EXPECT_EQ(value_of(second, "UID32"), uid);
  EXPECT_EQ(value_of(second, "EUID"), euid);

  const std::string p1 = pair + "&NAME=Shop&DEP=7&NIP=" + n + "&REGON=" + r + "&";
  const std::string p2 = pair + "&NAME=Store&DEP=Kb&NIP=" + n + "&REGON=" + r + "&";
  const std::string u1 = pair + "&NAME=Shop&DEP=7&PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&";
  const std::string u2 = pair + "&NAME=Store&DEP=Kb&PUID=7001&PORTP=7002&PORTQ=7003&NODES=5&";
  expect_dated_lines(file(nod(n)), {p1, p2});
  EXPECT_EQ(file(nod(r)), file(nod(n)));
  EXPECT_EQ(file(pesel_journal), file(nod(n)));
  const std::string node_q = file(entry(uid) + "/node.q");
  expect_dated_lines(node_q, {u1, u2});
  EXPECT_EQ(file(node_journal), node_q);

  // Its departments are answered once the entry has an address.
  const std::string query = "OP=get_dep_data&DEP=Kb&UID32=" + uid + "&";
  EXPECT_EQ(server.ask(query), "RE=get_dep_data&STATUS=refused&CP=no_file&");
  ASSERT_EQ(server.ask("OP=add_ip_node&UID32=" + uid + "&IPNODE=10.1.2.3&"), "RE=add_ip_node&STATUS=done&");
  const std::string last = node_q.substr(node_q.find('\n') + 1, node_q.size() - node_q.find('\n') - 2);
  EXPECT_EQ(server.ask(query), "RE=get_dep_data&STATUS=done&" + pair +
                                   "&DEP=Kb&LIP=10.1.2.3&PUID=7001&PORTP=7002&PORTQ=7003&NODES=5&DATE=" +
                                   value_of(last, "DATE") + "&");
  EXPECT_EQ(server.ask("OP=get_node&DEP=Kb&UID32=" + uid + "&"), "RE=get_node&STATUS=done&LIP=10.1.2.3&" + last);

  // A firm known by its REGON only.
  const std::string r2 = regon("11000000");
  std::string one = server.ask(add_request("Ka", "null", r2));
  std::string two = server.ask(add_request("Kb", "null", r2));
  ASSERT_EQ(value_of(one, "STATUS"), "done") << one;
  ASSERT_EQ(value_of(two, "STATUS"), "done") << two;
  EXPECT_NE(value_of(one, "UID32"), uid);
  EXPECT_EQ(value_of(two, "UID32"), value_of(one, "UID32"));
  EXPECT_EQ(value_of(two, "EUID"), value_of(one, "EUID"));
  const std::string pair2 = "UID32=" + value_of(one, "UID32") + "&EUID=" + value_of(one, "EUID");
  expect_dated_lines(file(nod(r2)), {pair2 + "&NAME=Shop&DEP=Ka&NIP=null&REGON=" + r2 + "&",
                                     pair2 + "&NAME=Shop&DEP=Kb&NIP=null&REGON=" + r2 + "&"});
  EXPECT_EQ(file(pesel_journal), file(nod(n)) + file(nod(r2)));
  EXPECT_FALSE(file_exists(server.path("DISK/PESEL/nu")));
}

// Firms whose pair is known: their files are laid out by hand, and only the
// letter levels of that pair exist.
class DepartmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.output() << server.errors();
    make_dirs(server.path("DISK/UID32BASE/A/B/C"));
  }
  std::string file(const std::string& rel) const { return read_file(server.path(rel)); }
  bool exists(const std::string& rel) const { return file_exists(server.path(rel)); }
  std::string ask(const std::string& message) const { return server.ask(message); }
  // A pesel.nod holding the given text.
  void seed(const std::string& id, const std::string& text) const {
    make_dirs(server.path(leaf(id)));
    write_file(server.path(nod(id)), text);
  }
  static std::string pesel_line(const std::string& dep, const std::string& nip_value) {
    return "UID32=" + uid + "&EUID=" + euid + "&NAME=Old&DEP=" + dep + "&NIP=" + nip_value +
           "&REGON=null&DATE=20260101-00:00:00&\n";
  }
  static inline const std::string uid = "ABC12000000000000000000000000000";
  static inline const std::string euid = "abcdefghijklmnopqrstuvwxyzabcdef";
  central_server server;
};

TEST_F(DepartmentTest, TheFirmsPairWinsOverOneTheRequestCarries) {
  const std::string n = nip("120000000");
  seed(n, pesel_line("Ka", n));
  std::string reply = ask("OP=add_department&UID32=ZZZ00000000000000000000000000000&EUID=" + std::string(32, 'z') +
                          "&" + add_request("Kb", n, "null").substr(18));
  EXPECT_EQ(reply.rfind("RE=add_department&STATUS=done&UID32=" + uid + "&EUID=" + euid + "&", 0), 0u) << reply;
  const std::string p = "UID32=" + uid + "&EUID=" + euid + "&NAME=Shop&DEP=Kb&NIP=" + n + "&REGON=null&";
  const std::string u = "UID32=" + uid + "&EUID=" + euid + "&NAME=Shop&DEP=Kb&PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&";
  EXPECT_EQ(file(nod(n)).substr(0, pesel_line("Ka", n).size()), pesel_line("Ka", n));
  expect_dated_lines(file(nod(n)).substr(pesel_line("Ka", n).size()), {p});
  expect_dated_lines(file(pesel_journal), {p});
  expect_dated_lines(file(entry(uid) + "/node.q"), {u});
  expect_dated_lines(file(node_journal), {u});
  EXPECT_FALSE(exists("DISK/UID32BASE/Z"));
}

TEST_F(DepartmentTest, LookupRefusalsLeaveEveryFileAsItWas) {
  const std::string n = nip("130000000"), other = nip("131000000"), r = regon("13000000");
  const std::string refused = "RE=add_department&STATUS=refused&CP=incorrect_arguments&";
  seed(n, pesel_line("K12", n));
  // "K1" occurs inside the line of DEP "K12": that line is the match, and its
  // DEP differs.
  EXPECT_EQ(ask(add_request("K1", n, "null")), refused);
  // The NIP's file holds a line of the department under another NIP.
  seed(other, pesel_line("K12", n));
  EXPECT_EQ(ask(add_request("K12", other, "null")), refused);
  // A firm file without any line.
  seed(r, "");
  EXPECT_EQ(ask(add_request("Ka", "null", r)), refused);

  EXPECT_EQ(file(nod(n)), pesel_line("K12", n));
  EXPECT_EQ(file(nod(other)), pesel_line("K12", n));
  EXPECT_EQ(file(nod(r)), "");
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/LIST")));
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/UID32BASE/A/B/C")));
}

TEST_F(DepartmentTest, MalformedOrOverLongRequestsAreRefusedBeforeAnythingIsWritten) {
  const std::string n = nip("140000000"), r = regon("14000000");
  seed(n, pesel_line("Ka", n));
  const std::string ports9 = "PUID=" + std::string(9, '1') + "&PORTP=" + std::string(9, '2') + "&PORTQ=" +
                             std::string(9, '3') + "&NODES=" + std::string(9, '4') + "&";
  const std::string name255(255, 'n'), dep15(15, 'd');
  const std::string refused = "RE=add_department&STATUS=refused&CP=incorrect_qvector&";
  const std::string requests[] = {
      "OP=add_department&NAME=Shop&DEP=7&REGON=" + r + "&PUID=1&PORTP=2&PORTQ=3&NODES=4&",
      add_request("7", "null", "null"),
      add_request("7", n, "null", "Shop", "PUID=1&PORTP=null&PORTQ=3&NODES=4&"),
      add_request("7", n.substr(0, 10) + char('0' + (n[10] - '0' + 1) % 10), "null"),  // check digit
      add_request(std::string(16, 'd'), n, "null"),
      add_request("7", std::string(60, '1'), r),  // would read as "null" if it were cut
      add_request("7", n, "null", std::string(256, 'n')),
      add_request("7", n, "null", "Sh\nop"),
      // Every field within its width, but the UID32 node line would pass 510
      // characters.
      add_request(dep15, n, "null", name255,
                  "PUID=" + std::string(39, '1') + "&PORTP=" + std::string(39, '2') + "&PORTQ=" + std::string(39, '3') +
                      "&NODES=" + std::string(30, '4') + "&"),
      // Lines that fit, a reply that does not (512 characters).
      add_request(dep15, n, r, name255, "PUID=" + std::string(13, '1') + ports9.substr(14)),
  };
  for (const std::string& q : requests) EXPECT_EQ(ask(q), refused) << q;
  EXPECT_EQ(file(nod(n)), pesel_line("Ka", n));
  EXPECT_FALSE(exists(nod(r)));
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/LIST")));
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/UID32BASE/A/B/C")));

  // The largest of these that fits: a reply of 508 characters.
  std::string reply = ask(add_request(dep15, n, r, name255, ports9));
  EXPECT_EQ(value_of(reply, "STATUS"), "done") << reply;
  EXPECT_EQ(reply.size(), 508u);
}

TEST_F(DepartmentTest, EachFailedAppendNamesItsStepAndKeepsWhatWasWritten) {
  // A plain file where the NIP's first level should be: its pesel.nod cannot
  // be made.
  const std::string blocked_nip = nip("900000000"), r = regon("97000000");
  write_file(server.path("DISK/PESEL/N9"), "x");
  EXPECT_EQ(ask(add_request("Ka", blocked_nip, r)), "RE=add_department&STATUS=refused&CP=no_file[1]&");
  EXPECT_FALSE(exists(nod(r)));
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/LIST")));

  // The same below the REGON's second level: the NIP's line stays.
  const std::string n = nip("160000000"), blocked_regon = regon("98000000");
  seed(n, pesel_line("Ka", n));
  make_dirs(server.path("DISK/PESEL/RN"));
  write_file(server.path("DISK/PESEL/RN/98"), "x");
  EXPECT_EQ(ask(add_request("Kb", n, blocked_regon)), "RE=add_department&STATUS=refused&CP=no_file[2]&");
  const std::string added = file(nod(n)).substr(pesel_line("Ka", n).size());
  expect_dated_lines(added, {"UID32=" + uid + "&EUID=" + euid + "&NAME=Shop&DEP=Kb&NIP=" + n + "&REGON=" +
                                 blocked_regon + "&"});
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/LIST")));
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/UID32BASE/A/B/C")));
}

TEST(DepartmentNoLetterLevels, EntryThatCannotBeMadeFailsAfterThePeselLines) {
  central_server server;  // the UID32 base has no letter levels
  ASSERT_TRUE(server.start());
  const std::string n = nip("100000000"), r = regon("10000000");
  EXPECT_EQ(server.ask(add_request("Ka", n, r)), "RE=add_department&STATUS=refused&CP=no_file[3]&");
  std::string lines = read_file(server.path(nod(n)));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1);
  EXPECT_EQ(read_file(server.path(nod(r))), lines);
  EXPECT_EQ(read_file(server.path(pesel_journal)), lines);
  EXPECT_FALSE(file_exists(server.path(node_journal)));
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/UID32BASE")));
}

// get_dep_data over entries laid out by hand.
class DepDataTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output() << server.errors(); }
  central_server server;
  const std::string uid = "ABC12345678901234567890123456789";
  const std::string euid = "abcdefghijklmnopqrstuvwxyzabcdef";
  std::string line(const std::string& dep, const std::string& puid, const std::string& tail = "DATE=20261207-09:05:03&") {
    return "UID32=" + uid + "&EUID=" + euid + "&NAME=Shop&DEP=" + dep + "&PUID=" + puid +
           "&PORTP=2&PORTQ=3&NODES=4&" + tail;
  }
  void lay(const std::string& node_q, const std::string& ip_q = "IPADDR=192.168.100.200&\n") {
    make_dirs(server.path(entry(uid)));
    write_file(server.path(entry(uid) + "/node.q"), node_q);
    if (!ip_q.empty()) write_file(server.path(entry(uid) + "/ip.q"), ip_q);
  }
  std::string ask(const std::string& dep, const std::string& key) {
    return server.ask("OP=get_dep_data&DEP=" + dep + "&UID32=" + key + "&");
  }
  const std::string no_file = "RE=get_dep_data&STATUS=refused&CP=no_file&";
};

TEST_F(DepDataTest, ReturnsTheNewestLineWithTheAddress) {
  lay(line("Ka", "11") + "\n" + line("Kb", "12") + "\n" + line("Ka", "13", "DATE=20261208-10:00:00&") + "\n");
  EXPECT_EQ(ask("Ka", uid), "RE=get_dep_data&STATUS=done&UID32=" + uid + "&EUID=" + euid +
                                "&DEP=Ka&LIP=192.168.100.200&PUID=13&PORTP=2&PORTQ=3&NODES=4&DATE=20261208-10:00:00&");
  // "b" occurs in every line (in the EUID): the last line answers, with its own DEP.
  EXPECT_EQ(value_of(ask("b", uid), "DEP"), "Ka");
  EXPECT_EQ(value_of(ask("b", uid), "PUID"), "13");
}

TEST_F(DepDataTest, LineWithoutDateEndsWithNodes) {
  lay(line("Ka", "11", "") + "\n");
  EXPECT_EQ(ask("Ka", uid), "RE=get_dep_data&STATUS=done&UID32=" + uid + "&EUID=" + euid +
                                "&DEP=Ka&LIP=192.168.100.200&PUID=11&PORTP=2&PORTQ=3&NODES=4&");
}

TEST_F(DepDataTest, RefusalTable) {
  lay(line("Ka", "11") + "\n" + "UID32=" + uid + "&EUID=" + euid + "&NAME=Shop&DEP=Kn&PORTP=2&PORTQ=3&NODES=4&\n");
  const std::string qvector = "RE=get_dep_data&STATUS=refused&CP=incorrect_qvector&";
  EXPECT_EQ(server.ask("OP=get_dep_data&UID32=" + uid + "&"), qvector);
  EXPECT_EQ(server.ask("OP=get_dep_data&DEP=Ka&"), qvector);
  EXPECT_EQ(ask(std::string(16, 'K'), uid), qvector);
  EXPECT_EQ(ask("Ka", uid + "A"), qvector);
  EXPECT_EQ(ask("null", uid), no_file);
  EXPECT_EQ(ask("Ka", "null"), no_file);
  EXPECT_EQ(ask("Kz", uid), no_file);                                 // no line holds the text
  EXPECT_EQ(ask("Kn", uid), no_file);                                 // the line has no PUID
  EXPECT_EQ(ask("Ka", "ABD12345678901234567890123456789"), no_file);  // no entry
  write_file(server.path(entry(uid) + "/ip.q"), "NAME=x&\n");
  EXPECT_EQ(ask("Ka", uid), no_file);  // no address in ip.q
  std::remove(server.path(entry(uid) + "/ip.q").c_str());
  EXPECT_EQ(ask("Ka", uid), no_file);
}

TEST_F(DepDataTest, KeysThatWouldLeaveTheTreeReadNothing) {
  // What a key taken as a path would reach from the UID32 base.
  make_dirs(server.path("x"));
  write_file(server.path("x/ip.q"), "IPADDR=10.1.2.3&\n");
  write_file(server.path("x/node.q"), line("Ka", "11") + "\n");
  for (const std::string key : {"../../x", "./../../x", "..", "A/B/C", "ABC/../../../../x"})
    EXPECT_EQ(ask("Ka", key), no_file) << key;
}

}  // namespace
