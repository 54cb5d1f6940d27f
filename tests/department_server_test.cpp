// add_department and get_dep_data through the real server: replies, cause
// codes and the exact bytes left in the trees and journals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>

#include "tests/server_fixture.h"

namespace {

using testing_support::central_server;
using testing_support::file_exists;
using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::write_file;

constexpr char nip1[] = "N1234567883";
constexpr char nip2[] = "N5260250274";
constexpr char regon1[] = "RN123456785";
const std::string nip1_nod = "DISK/PESEL/N1/23/45/67/88/3/pesel.nod";
const std::string nip2_nod = "DISK/PESEL/N5/26/02/50/27/4/pesel.nod";
const std::string regon1_nod = "DISK/PESEL/RN/12/34/56/78/5/pesel.nod";
const std::string pesel_journal = "DISK/LIST/list_pesel_nod.q";
const std::string node_journal = "DISK/LIST/list_uid32base.q";
const std::string date_re = "DATE=[0-9]{8}-[0-9]{2}:[0-9]{2}:[0-9]{2}&";

std::string add_request(const std::string& dep, const std::string& nip, const std::string& regon,
                        const std::string& name = "Shop", const std::string& ports = "PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&") {
  return "OP=add_department&NAME=" + name + "&DEP=" + dep + "&NIP=" + nip + "&REGON=" + regon + "&" + ports;
}

// The value of key in a reply or a line ("" when absent).
std::string value_of(const std::string& text, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex("(^|&)" + key + "=([^&]*)&"))) return "";
  return m[2];
}

// text is the lines given, each followed by a DATE field and a newline.
void expect_dated_lines(const std::string& text, std::initializer_list<std::string> lines) {
  std::string re;
  for (const std::string& l : lines) re += std::regex_replace(l, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") + date_re + "\n";
  EXPECT_TRUE(std::regex_match(text, std::regex(re))) << text;
}

class DepartmentTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output() << server.errors(); }
  std::string file(const std::string& rel) const { return read_file(server.path(rel)); }
  bool exists(const std::string& rel) const { return file_exists(server.path(rel)); }
  std::string entry(const std::string& uid) const {
    return "DISK/UID32BASE/" + uid.substr(0, 1) + "/" + uid.substr(1, 1) + "/" + uid.substr(2, 1) + "/" + uid;
  }
  // Nothing below PESEL, no journals.
  void expect_nothing_written() const {
    EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/PESEL")));
    EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/LIST")));
  }
  central_server server{testing_support::with_letter_levels()};
};

TEST_F(DepartmentTest, FirmWithNipAndRegonRegistersTwoDepartmentsUnderOnePair) {
  std::string first = server.ask(add_request("7", nip1, regon1));
  std::regex done("RE=add_department&STATUS=done&UID32=([A-Z]{3}[0-9]{29})&EUID=([a-z]{32})&NAME=Shop&DEP=7&NIP=" +
                  std::string(nip1) + "&REGON=" + regon1 + "&PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&" + date_re);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(first, m, done)) << first;
  const std::string uid = m[1], euid = m[2];
  const std::string pair = "UID32=" + uid + "&EUID=" + euid;

  // DEP "Kb" occurs in none of the firm's lines: it takes over the pair.
  std::string second = server.ask(add_request("Kb", nip1, regon1, "Store", "PUID=7001&PORTP=7002&PORTQ=7003&NODES=5&"));
  EXPECT_EQ(value_of(second, "STATUS"), "done") << second;
  EXPECT_EQ(value_of(second, "UID32"), uid);
  EXPECT_EQ(value_of(second, "EUID"), euid);

  const std::string p1 = pair + "&NAME=Shop&DEP=7&NIP=" + nip1 + "&REGON=" + regon1 + "&";
  const std::string p2 = pair + "&NAME=Store&DEP=Kb&NIP=" + nip1 + "&REGON=" + regon1 + "&";
  const std::string u1 = pair + "&NAME=Shop&DEP=7&PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&";
  const std::string u2 = pair + "&NAME=Store&DEP=Kb&PUID=7001&PORTP=7002&PORTQ=7003&NODES=5&";
  expect_dated_lines(file(nip1_nod), {p1, p2});
  EXPECT_EQ(file(regon1_nod), file(nip1_nod));
  EXPECT_EQ(file(pesel_journal), file(nip1_nod));
  expect_dated_lines(file(entry(uid) + "/node.q"), {u1, u2});
  EXPECT_EQ(file(node_journal), file(entry(uid) + "/node.q"));
}

TEST_F(DepartmentTest, FirmKnownByRegonOnlySharesItsPairToo) {
  std::string first = server.ask(add_request("Ka", "null", regon1));
  std::string second = server.ask(add_request("Kb", "null", regon1));
  ASSERT_EQ(value_of(first, "STATUS"), "done") << first;
  ASSERT_EQ(value_of(second, "STATUS"), "done") << second;
  EXPECT_EQ(value_of(second, "UID32"), value_of(first, "UID32"));
  EXPECT_EQ(value_of(second, "EUID"), value_of(first, "EUID"));
  const std::string pair = "UID32=" + value_of(first, "UID32") + "&EUID=" + value_of(first, "EUID");
  expect_dated_lines(file(regon1_nod), {pair + "&NAME=Shop&DEP=Ka&NIP=null&REGON=" + regon1 + "&",
                                        pair + "&NAME=Shop&DEP=Kb&NIP=null&REGON=" + regon1 + "&"});
  EXPECT_FALSE(exists("DISK/PESEL/N1"));
  EXPECT_FALSE(exists("DISK/PESEL/nu"));
}

TEST_F(DepartmentTest, TheFirmsPairWinsOverOneTheRequestCarries) {
  const std::string uid = "ABC12345678901234567890123456789", euid = "abcdefghijklmnopqrstuvwxyzabcdef";
  make_dirs(server.path("DISK/PESEL/N1/23/45/67/88/3"));
  write_file(server.path(nip1_nod), "UID32=" + uid + "&EUID=" + euid + "&NAME=Old&DEP=Ka&NIP=" + nip1 +
                                        "&REGON=null&DATE=20260101-00:00:00&\n");
  std::string reply = server.ask("OP=add_department&UID32=ZZZ00000000000000000000000000000&EUID=" +
                                 std::string(32, 'z') + "&" + add_request("Kb", nip1, "null").substr(18));
  EXPECT_EQ(reply.rfind("RE=add_department&STATUS=done&UID32=" + uid + "&EUID=" + euid + "&", 0), 0u) << reply;
  expect_dated_lines(file(entry(uid) + "/node.q"),
                     {"UID32=" + uid + "&EUID=" + euid + "&NAME=Shop&DEP=Kb&PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&"});
  EXPECT_FALSE(exists("DISK/UID32BASE/Z/Z/Z/ZZZ00000000000000000000000000000"));
}

TEST_F(DepartmentTest, LookupRefusalsLeaveEveryFileAsItWas) {
  ASSERT_EQ(value_of(server.ask(add_request("K12", nip1, "null")), "STATUS"), "done");
  const std::string nod = file(nip1_nod), pj = file(pesel_journal), nj = file(node_journal);

  // "K1" occurs inside the line of DEP "K12": that line is the match, and its
  // DEP differs.
  EXPECT_EQ(server.ask(add_request("K1", nip1, "null")), "RE=add_department&STATUS=refused&CP=incorrect_arguments&");
  // The NIP's file holds a line of the department under another NIP.
  make_dirs(server.path("DISK/PESEL/N5/26/02/50/27/4"));
  write_file(server.path(nip2_nod), nod);
  EXPECT_EQ(server.ask(add_request("K12", nip2, "null")), "RE=add_department&STATUS=refused&CP=incorrect_arguments&");
  // A firm file without any line.
  make_dirs(server.path("DISK/PESEL/RN/12/34/56/78/5"));
  write_file(server.path(regon1_nod), "");
  EXPECT_EQ(server.ask(add_request("Ka", "null", regon1)), "RE=add_department&STATUS=refused&CP=incorrect_arguments&");

  EXPECT_EQ(file(nip1_nod), nod);
  EXPECT_EQ(file(nip2_nod), nod);
  EXPECT_EQ(file(regon1_nod), "");
  EXPECT_EQ(file(pesel_journal), pj);
  EXPECT_EQ(file(node_journal), nj);
}

TEST_F(DepartmentTest, MalformedOrOverLongRequestsAreRefusedBeforeAnythingIsWritten) {
  const std::string ports9 = "PUID=" + std::string(9, '1') + "&PORTP=" + std::string(9, '2') + "&PORTQ=" +
                             std::string(9, '3') + "&NODES=" + std::string(9, '4') + "&";
  const std::string name255(255, 'n'), dep15(15, 'd');
  const std::string refused = "RE=add_department&STATUS=refused&CP=incorrect_qvector&";
  const std::string requests[] = {
      "OP=add_department&NAME=Shop&DEP=7&REGON=" + std::string(regon1) + "&PUID=1&PORTP=2&PORTQ=3&NODES=4&",
      add_request("7", "null", "null"),
      add_request("7", nip1, "null", "Shop", "PUID=1&PORTP=null&PORTQ=3&NODES=4&"),
      add_request("7", "N1234567884", "null"),
      add_request(std::string(16, 'd'), nip1, "null"),
      add_request("7", std::string(60, '1'), regon1),  // would read as "null" if it were cut
      add_request("7", nip1, "null", std::string(256, 'n')),
      add_request("7", nip1, "null", "Sh\nop"),
      // Every field within its width, but the UID32 node line would pass 510
      // characters.
      add_request(dep15, nip1, "null", name255,
                  "PUID=" + std::string(39, '1') + "&PORTP=" + std::string(39, '2') + "&PORTQ=" + std::string(39, '3') +
                      "&NODES=" + std::string(30, '4') + "&"),
      // Lines that fit, a reply that does not (512 characters).
      add_request(dep15, nip1, regon1, name255, "PUID=" + std::string(13, '1') + ports9.substr(14)),
  };
  for (const std::string& r : requests) EXPECT_EQ(server.ask(r), refused) << r;
  expect_nothing_written();

  // The largest of these that fits: a reply of 508 characters.
  std::string reply = server.ask(add_request(dep15, nip1, regon1, name255, ports9));
  EXPECT_EQ(value_of(reply, "STATUS"), "done") << reply;
  EXPECT_EQ(reply.size(), 508u);
}

TEST_F(DepartmentTest, EachFailedAppendNamesItsStepAndKeepsWhatWasWritten) {
  // The NIP's first level is a plain file: its pesel.nod cannot be made.
  write_file(server.path("DISK/PESEL/N1"), "x");
  EXPECT_EQ(server.ask(add_request("Ka", nip1, regon1)), "RE=add_department&STATUS=refused&CP=no_file[1]&");
  EXPECT_FALSE(exists(regon1_nod));
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/LIST")));
  std::remove(server.path("DISK/PESEL/N1").c_str());

  write_file(server.path("DISK/PESEL/RN"), "x");
  EXPECT_EQ(server.ask(add_request("Ka", nip1, regon1)), "RE=add_department&STATUS=refused&CP=no_file[2]&");
  expect_dated_lines(file(nip1_nod), {"UID32=" + value_of(file(nip1_nod), "UID32") + "&EUID=" +
                                          value_of(file(nip1_nod), "EUID") + "&NAME=Shop&DEP=Ka&NIP=" + nip1 +
                                          "&REGON=" + regon1 + "&"});
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/LIST")));
}

TEST(DepartmentNoLetterLevels, EntryThatCannotBeMadeFailsAfterThePeselLines) {
  central_server server;  // the UID32 base has no letter levels
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.ask(add_request("Ka", nip1, regon1)), "RE=add_department&STATUS=refused&CP=no_file[3]&");
  std::string nod = read_file(server.path(nip1_nod));
  EXPECT_EQ(std::count(nod.begin(), nod.end(), '\n'), 1);
  EXPECT_EQ(read_file(server.path(regon1_nod)), nod);
  EXPECT_EQ(read_file(server.path(pesel_journal)), nod);
  EXPECT_FALSE(file_exists(server.path(node_journal)));
  EXPECT_TRUE(std::filesystem::is_empty(server.path("DISK/UID32BASE")));
}

// get_dep_data over entries laid out by hand.
class DepDataTest : public DepartmentTest {
 protected:
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

TEST_F(DepDataTest, RegisteredDepartmentIsAnsweredOnceItHasAnAddress) {
  std::string added = server.ask(add_request("Ka", nip1, "null"));
  const std::string fresh = value_of(added, "UID32");
  EXPECT_EQ(ask("Ka", fresh), no_file);  // no address stored yet
  ASSERT_EQ(server.ask("OP=add_ip_node&UID32=" + fresh + "&IPNODE=10.1.2.3&"), "RE=add_ip_node&STATUS=done&");
  std::string node = file(entry(fresh) + "/node.q");
  EXPECT_EQ(ask("Ka", fresh), "RE=get_dep_data&STATUS=done&UID32=" + fresh + "&EUID=" + value_of(added, "EUID") +
                                  "&DEP=Ka&LIP=10.1.2.3&PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&DATE=" +
                                  value_of(node, "DATE") + "&");
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
