// Blocking departments and users against a scripted local server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tests/support/fake_peer.h"
#include "tests/support/record_paths.h"
#include "tests/support/record_text.h"
#include "tests/support/server_fixture.h"

namespace {

using testing_support::central_server;
using testing_support::fake_peer;
using testing_support::lines_of;
using testing_support::file_exists;
using testing_support::read_file;
using testing_support::write_file;

constexpr char nip[] = "N1234563218";
constexpr char regon[] = "RN123456785";

// Where the field KEY=...& starts (at the start or after an '&'), or npos.
std::size_t field_at(const std::string& line, const std::string& key) {
  std::string pattern = key + "=";
  for (std::size_t at = line.find(pattern); at != std::string::npos; at = line.find(pattern, at + 1))
    if (at == 0 || line[at - 1] == '&') return at;
  return std::string::npos;
}

std::string field(const std::string& line, const std::string& key) {
  std::size_t at = field_at(line, key);
  if (at == std::string::npos) return "<absent>";
  std::size_t begin = at + key.size() + 1, end = line.find('&', begin);
  return end == std::string::npos ? "<absent>" : line.substr(begin, end - begin);
}

std::string replace_field(std::string line, const std::string& key, const std::string& value) {
  std::size_t at = field_at(line, key);
  if (at == std::string::npos) return line;
  std::size_t begin = at + key.size() + 1, end = line.find('&', begin);
  return line.replace(begin, end - begin, value);
}

class BlockTest : public ::testing::Test {
 protected:
  BlockTest() : server(testing_support::with_linked_letter_levels()) {}
  void SetUp() override { ASSERT_TRUE(server.start()); }

  // Registers a department of the firm; returns the reply.
  std::string add_dep(const std::string& dep, const char* n, const char* r, const std::string& puid) {
    return server.ask("OP=add_department&NAME=Dept " + dep + "&DEP=" + dep + "&NIP=" + n + "&REGON=" + r +
                      "&PUID=" + puid + "&PORTP=7001&PORTQ=7002&NODES=3&");
  }
  // Registers three departments of a firm known by both identifiers, with
  // its local server at the peer; returns the firm's UID32.
  std::string firm_with_three(int port) {
    std::string uid;
    for (const char* d : {"d-1", "d-2", "d-3"}) uid = field(add_dep(d, nip, regon, std::to_string(port)), "UID32");
    EXPECT_EQ(server.ask("OP=add_ip_node&UID32=" + uid + "&IPNODE=127.0.0.1&"), "RE=add_ip_node&STATUS=done&");
    return uid;
  }
  std::string pesel_nod(const char* id) {
    return read_file(server.path(testing_support::person_dir(id) + "/pesel.nod"));
  }
  std::string entry(const std::string& uid) { return server.path(testing_support::entry(uid)); }

  central_server server;
};

fake_peer::responder accept_all = [](const std::string& r) {
  return fake_peer::coded("RE=" + field(r, "OP") + "&STATUS=done&");
};
fake_peer::responder refuse_all = [](const std::string& r) {
  return fake_peer::coded("RE=" + field(r, "OP") + "&STATUS=refused&CP=x&");
};

TEST_F(BlockTest, AllDepartmentsGetOneNewEuidAndOneNoticeEachInFileOrder) {
  fake_peer local(accept_all);
  std::string uid = firm_with_three(local.port());
  std::string old_euid = field(lines_of(read_file(entry(uid) + "/node.q"))[0], "EUID");

  EXPECT_EQ(server.ask(std::string("OP=block_department&DEP=null&NIP=") + nip + "&REGON=" + regon + "&"),
            "RE=block_department&STATUS=done&");
  auto nodes = lines_of(read_file(entry(uid) + "/node.q"));
  ASSERT_EQ(nodes.size(), 3u);
  std::string new_euid = field(nodes[0], "EUID");
  EXPECT_NE(new_euid, old_euid);
  EXPECT_TRUE(testing_support::is_euid(new_euid)) << new_euid;
  for (const auto& l : nodes) EXPECT_EQ(field(l, "EUID"), new_euid);
  for (const auto& l : lines_of(pesel_nod(nip))) EXPECT_EQ(field(l, "EUID"), new_euid);
  EXPECT_EQ(pesel_nod(nip), pesel_nod(regon)) << "the REGON file is a copy of the NIP file";

  auto notices = local.requests();
  ASSERT_EQ(notices.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(notices[i], "OP=block_department&DEP=" + field(nodes[i], "DEP") + "&EUID=" + new_euid + "&");
  // Journals received every changed line after the originals.
  EXPECT_EQ(lines_of(read_file(server.path("DISK/LIST/list_pesel_nod.q"))).size(), 6u);
  EXPECT_EQ(lines_of(read_file(server.path("DISK/LIST/list_uid32base.q"))).size(), 6u);
  EXPECT_FALSE(file_exists(entry(uid) + "/TMP"));
}

TEST_F(BlockTest, OneDepartmentChangesExactlyItsLinesInPlace) {
  fake_peer local(accept_all);
  std::string uid = firm_with_three(local.port());
  auto nodes_before = lines_of(read_file(entry(uid) + "/node.q"));
  auto firm_before = lines_of(pesel_nod(nip));

  EXPECT_EQ(server.ask(std::string("OP=block_department&DEP=d-2&NIP=") + nip + "&REGON=" + regon + "&"),
            "RE=block_department&STATUS=done&");
  auto nodes = lines_of(read_file(entry(uid) + "/node.q"));
  auto firm = lines_of(pesel_nod(nip));
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[0], nodes_before[0]);
  EXPECT_EQ(nodes[2], nodes_before[2]);
  EXPECT_EQ(firm[0], firm_before[0]);
  EXPECT_EQ(firm[2], firm_before[2]);
  EXPECT_NE(field(nodes[1], "EUID"), field(nodes_before[1], "EUID"));
  EXPECT_EQ(replace_field(replace_field(nodes[1], "EUID", ""), "DATE", ""),
            replace_field(replace_field(nodes_before[1], "EUID", ""), "DATE", ""));
  EXPECT_EQ(field(firm[1], "EUID"), field(nodes[1], "EUID"));
  EXPECT_EQ(local.requests().size(), 1u);

  // A department the firm does not have: same lines, no notice, done.
  std::string nodes_now = read_file(entry(uid) + "/node.q");
  EXPECT_EQ(server.ask(std::string("OP=block_department&DEP=d-9&NIP=") + nip + "&REGON=" + regon + "&"),
            "RE=block_department&STATUS=done&");
  EXPECT_EQ(read_file(entry(uid) + "/node.q"), nodes_now);
  EXPECT_EQ(local.requests().size(), 1u);
}

TEST_F(BlockTest, RefusalsLeaveTheWrittenState) {
  fake_peer refusing(refuse_all);
  std::string uid = firm_with_three(refusing.port());
  std::string node_q = read_file(entry(uid) + "/node.q");
  std::string regon_file = pesel_nod(regon);

  // The local server refuses: the firm files carry the new EUID, node.q not.
  EXPECT_EQ(server.ask(std::string("OP=block_department&DEP=null&NIP=") + nip + "&REGON=" + regon + "&"),
            "RE=block_department&STATUS=refused&CP=no_file[2]&");
  EXPECT_EQ(read_file(entry(uid) + "/node.q"), node_q);
  EXPECT_NE(pesel_nod(nip), regon_file);
  EXPECT_EQ(pesel_nod(nip), pesel_nod(regon));
  EXPECT_EQ(refusing.requests().size(), 1u) << "nothing is sent after the first refusal";

  // Without the secondary identifier in the request: refused after the
  // primary file was rewritten.
  std::string regon_now = pesel_nod(regon);
  EXPECT_EQ(server.ask(std::string("OP=block_department&DEP=d-1&NIP=") + nip + "&REGON=null&"),
            "RE=block_department&STATUS=refused&CP=no_file[1]&");
  EXPECT_EQ(pesel_nod(regon), regon_now);
  EXPECT_NE(pesel_nod(nip), regon_now);

  struct {
    const char* request;
    const char* reply;
  } bad[] = {
      {"OP=block_department&NIP=N1234563218&REGON=null&", "RE=block_department&STATUS=refused&CP=incorrect_qvector&"},
      {"OP=block_department&DEP=1&NIP=N1234563219&REGON=null&", "RE=block_department&STATUS=refused&CP=incorrect_qvector&"},
      {"OP=block_department&DEP=1&NIP=null&REGON=null&", "RE=block_department&STATUS=refused&CP=no_gen_UID&"},
      {"OP=block_department&DEP=1&NIP=N5270001118&REGON=null&", "RE=block_department&STATUS=refused&CP=no_file[1]&"},
      {"OP=block_department&DEP=1&NIP=null&REGON=RN234567895&", "RE=block_department&STATUS=refused&CP=no_file[3]&"},
  };
  for (const auto& b : bad) EXPECT_EQ(server.ask(b.request), b.reply) << b.request;
}

// A REGON of another firm (or of nobody) beside a firm's NIP used to have
// the rewritten firm file copied over that identifier's file, folders made.
TEST_F(BlockTest, AnotherFirmsIdentifierInTheRequestNoLongerOverwritesItsFile) {
  fake_peer local(accept_all);
  std::string uid = firm_with_three(local.port());
  ASSERT_EQ(field(add_dep("b-1", "N1112223332", "RN111122220", std::to_string(local.port())), "STATUS"), "done");
  ASSERT_EQ(field(add_dep("c-1", "N5270001118", "null", std::to_string(local.port())), "STATUS"), "done");
  auto snapshot = [&] {
    return pesel_nod(nip) + pesel_nod(regon) + pesel_nod("RN111122220") + pesel_nod("N1112223332") +
           pesel_nod("N5270001118") + read_file(entry(uid) + "/node.q") +
           read_file(server.path("DISK/LIST/list_pesel_nod.q")) + read_file(server.path("DISK/LIST/list_uid32base.q"));
  };
  const std::string before = snapshot();
  const std::string firm_b = pesel_nod("RN111122220");
  const char* requests[] = {
      "OP=block_department&DEP=null&NIP=N1234563218&REGON=RN111122220&",  // firm B's REGON
      "OP=block_department&DEP=null&NIP=N1234563218&REGON=RN234567895&",  // nobody's REGON
      "OP=block_department&DEP=c-1&NIP=N5270001118&REGON=RN234567895&",   // a firm with no REGON
  };
  for (const char* r : requests) {
    EXPECT_EQ(server.ask(r), "RE=block_department&STATUS=refused&CP=no_file[1]&") << r;
    EXPECT_EQ(snapshot(), before) << r;
  }
  EXPECT_FALSE(file_exists(server.path("DISK/PESEL/RN/23"))) << "no folder for an identifier nobody has";
  EXPECT_TRUE(local.requests().empty());
  EXPECT_EQ(field(add_dep("d-1", "null", "RN234567895", std::to_string(local.port())), "STATUS"), "done")
      << "that REGON is still free to register";

  // The firm's own other identifier still receives the copy.
  EXPECT_EQ(server.ask(std::string("OP=block_department&DEP=d-2&NIP=") + nip + "&REGON=" + regon + "&"),
            "RE=block_department&STATUS=done&");
  EXPECT_EQ(pesel_nod(nip), pesel_nod(regon));
  EXPECT_EQ(pesel_nod("RN111122220"), firm_b);
}

// An IPNODE that is not dotted-decimal used to send the notice to this host,
// and any bytes at all from the peer used to count as its acceptance.
TEST_F(BlockTest, NoticeToANonAddressOrAnswerThatIsNoFrameNoLongerBlocks) {
  std::atomic<int> mode{0};
  const std::string answers[] = {fake_peer::coded("RE=block_department&STATUS=done&"), "SSH-2.0-banner\r\n",
                                 "HTTP/1.1 400 Bad Request\r\n\r\n", "RE=block_department&STATUS=refused&"};
  fake_peer local([&](const std::string&) { return answers[mode.load()]; });
  std::string uid = firm_with_three(local.port());
  const std::string node_q = read_file(entry(uid) + "/node.q");
  const std::string block = std::string("OP=block_department&DEP=null&NIP=") + nip + "&REGON=" + regon + "&";

  for (const char* address : {"a.b.c.d", "...", "127.0.0.1 "}) {
    ASSERT_EQ(server.ask("OP=add_ip_node&UID32=" + uid + "&IPNODE=" + address + "&"), "RE=add_ip_node&STATUS=done&")
        << "the form check still counts only the dots";
    EXPECT_EQ(server.ask(block), "RE=block_department&STATUS=refused&CP=no_file[2]&") << address;
    EXPECT_EQ(read_file(entry(uid) + "/node.q"), node_q) << address;
  }
  EXPECT_EQ(local.connections(), 0);

  ASSERT_EQ(server.ask("OP=add_ip_node&UID32=" + uid + "&IPNODE=127.0.0.1&"), "RE=add_ip_node&STATUS=done&");
  for (int m : {1, 2, 3}) {
    mode = m;
    EXPECT_EQ(server.ask(block), "RE=block_department&STATUS=refused&CP=no_file[2]&") << answers[m];
    EXPECT_EQ(read_file(entry(uid) + "/node.q"), node_q) << answers[m];
  }
  mode = 0;
  EXPECT_EQ(server.ask(block), "RE=block_department&STATUS=done&");
  EXPECT_NE(read_file(entry(uid) + "/node.q"), node_q);
}

TEST_F(BlockTest, PortZeroDownPeersAndEmptyFilesRefuseBeforeAnythingIsSent) {
  fake_peer local(accept_all);
  // A firm known by its REGON only, whose node.q line names port "abc".
  std::string uid = field(add_dep("1", "null", "RN111122220", "abc"), "UID32");
  ASSERT_EQ(server.ask("OP=add_ip_node&UID32=" + uid + "&IPNODE=127.0.0.1&"), "RE=add_ip_node&STATUS=done&");
  EXPECT_EQ(server.ask("OP=block_department&DEP=1&NIP=null&REGON=RN111122220&"),
            "RE=block_department&STATUS=refused&CP=no_file[4]&");

  // Nobody listens on the port.
  std::string down = field(add_dep("1", "N1112223332", "null", std::to_string(testing_support::free_port())), "UID32");
  ASSERT_EQ(server.ask("OP=add_ip_node&UID32=" + down + "&IPNODE=127.0.0.1&"), "RE=add_ip_node&STATUS=done&");
  EXPECT_EQ(server.ask("OP=block_department&DEP=1&NIP=N1112223332&REGON=null&"),
            "RE=block_department&STATUS=refused&CP=no_file[2]&");

  // An empty firm file, and leftovers of an aborted rewrite.
  std::string dir = server.path("DISK/PESEL/N1/23/45/63/21/8");
  testing_support::make_dirs(dir);
  write_file(dir + "/pesel.nod", "");
  EXPECT_EQ(server.ask("OP=block_department&DEP=null&NIP=N1234563218&REGON=null&"),
            "RE=block_department&STATUS=refused&CP=no_file[1]&");
  EXPECT_EQ(read_file(dir + "/pesel.nod"), "");
  EXPECT_TRUE(local.requests().empty());
}

TEST_F(BlockTest, LeftoverTemporaryFilesNeverEnterARewrite) {
  fake_peer local(accept_all);
  std::string uid = firm_with_three(local.port());
  std::string dir = server.path("DISK/PESEL/N1/23/45/63/21/8");
  write_file(dir + "/tmp.q", "UID32=STALE&\n");
  write_file(entry(uid) + "/TMP", "UID32=STALE&\n");
  EXPECT_EQ(server.ask(std::string("OP=block_department&DEP=d-1&NIP=") + nip + "&REGON=" + regon + "&"),
            "RE=block_department&STATUS=done&");
  EXPECT_EQ(pesel_nod(nip).find("STALE"), std::string::npos);
  EXPECT_EQ(read_file(entry(uid) + "/node.q").find("STALE"), std::string::npos);
  EXPECT_EQ(lines_of(read_file(entry(uid) + "/node.q")).size(), 3u);
}

// A folder where node.q should be cannot be walked: the block is refused and
// no notice is sent (it was once answered "done" with nothing changed).
TEST_F(BlockTest, AFolderInPlaceOfTheNodeFileIsRefused) {
  fake_peer local(accept_all);
  std::string uid = firm_with_three(local.port());
  const std::string node_q = entry(uid) + "/node.q";
  ASSERT_EQ(std::rename(node_q.c_str(), (node_q + ".aside").c_str()), 0);
  ASSERT_EQ(::mkdir(node_q.c_str(), 0755), 0);
  EXPECT_EQ(server.ask(std::string("OP=block_department&DEP=d-1&NIP=") + nip + "&REGON=" + regon + "&"),
            "RE=block_department&STATUS=refused&CP=no_file[2]&");
  EXPECT_TRUE(local.requests().empty());
  struct stat st;
  ASSERT_EQ(::stat(node_q.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(BlockTest, CheckUserFollowsDepartmentBlocks) {
  fake_peer local(accept_all);
  std::string uid = firm_with_three(local.port());
  std::string euid = field(lines_of(read_file(entry(uid) + "/node.q"))[2], "EUID");
  std::string user = server.ask("OP=add_usr&UID32=" + uid + "&EUID=" + euid +
                                "&UIDP=x&EUIDP=x&PESEL=90010112349&DEP=d-1&NAME=Ann&STAT=user&");
  std::string check = "OP=check_user&UID32=" + uid + "&EUID=" + euid + "&UIDP=" + field(user, "UIDP") +
                      "&EUIDP=" + field(user, "EUIDP") + "&";
  EXPECT_EQ(server.ask(check), "RE=check_user&STATUS=done&");
  // A block of a department whose line is not the last leaves the check valid.
  EXPECT_EQ(server.ask(std::string("OP=block_department&DEP=d-1&NIP=") + nip + "&REGON=" + regon + "&"),
            "RE=block_department&STATUS=done&");
  EXPECT_EQ(server.ask(check), "RE=check_user&STATUS=done&");
  EXPECT_EQ(server.ask(std::string("OP=block_department&DEP=null&NIP=") + nip + "&REGON=" + regon + "&"),
            "RE=block_department&STATUS=done&");
  EXPECT_EQ(server.ask(check), "RE=check_user&STATUS=refused&CP=blocked_node&");
}

class UserBlockTest : public BlockTest {
 protected:
  // A firm with its local server at port, and one user; returns add_usr's reply.
  std::string firm_and_user(const std::string& puid, bool with_address = true, const char* firm = nip,
                            const char* pesel = "90010112349") {
    std::string uid = field(add_dep("10", firm, "null", puid), "UID32");
    if (with_address) server.ask("OP=add_ip_node&UID32=" + uid + "&IPNODE=127.0.0.1&");
    std::string euid = field(lines_of(read_file(entry(uid) + "/node.q"))[0], "EUID");
    return server.ask("OP=add_usr&UID32=" + uid + "&EUID=" + euid +
                      "&UIDP=x&EUIDP=x&PESEL=" + pesel + "&DEP=d-1&NAME=Ann&STAT=admin&RANGE=1&ACT=A&");
  }
  std::string check_of(const std::string& user) {
    return "OP=check_user&UID32=" + field(user, "UID32") + "&EUID=" + field(user, "EUID") + "&UIDP=" +
           field(user, "UIDP") + "&EUIDP=" + field(user, "EUIDP") + "&";
  }
  std::string person_file() { return server.path("DISK/PESEL/90/01/01/12/34/9/pesel.usr"); }
};

TEST_F(UserBlockTest, BlockUserRecordsTheSentVersionInShortForm) {
  fake_peer local(accept_all);
  std::string user = firm_and_user(std::to_string(local.port()));
  std::string blocked = replace_field(user.substr(std::string("RE=add_usr&STATUS=done&").size()), "EUIDP",
                                      "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz");
  EXPECT_EQ(server.ask("OP=block_user&" + blocked), "RE=block_user&STATUS=done&");
  std::string last = lines_of(read_file(person_file())).back();
  EXPECT_EQ(field(last, "EUIDP"), "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz");
  EXPECT_EQ(field(last, "RANGE"), "<absent>");
  EXPECT_EQ(field(last, "ACT"), "<absent>");
  EXPECT_EQ(testing_support::undated(last).substr(testing_support::undated(last).size() - 12), "&STAT=admin&") << last;
  EXPECT_EQ(server.ask(check_of(user)), "RE=check_user&STATUS=refused&CP=blocked_user&");
  EXPECT_EQ(server.ask("OP=block_user&PESEL=90010112349&"), "RE=block_user&STATUS=refused&CP=incorrect_qvector&");
}

TEST_F(UserBlockTest, CentralBlockRecordsNotifiesAndReportsAFailedNotice) {
  fake_peer local(accept_all);
  std::string user = firm_and_user(std::to_string(local.port()));
  EXPECT_EQ(server.ask("OP=block_user_by_central_admin&PESEL=90010112349&"),
            "RE=block_user_by_central_admin&STATUS=done&");
  std::string last = lines_of(read_file(person_file())).back();
  std::string new_euidp = field(last, "EUIDP");
  EXPECT_NE(new_euidp, field(user, "EUIDP"));
  EXPECT_EQ(field(last, "UIDP"), field(user, "UIDP"));
  ASSERT_EQ(local.requests().size(), 1u);
  EXPECT_EQ(local.requests()[0], "OP=block_user_by_TAVR&PESEL=90010112349&EUIDP=" + new_euidp + "&");
  EXPECT_EQ(server.ask(check_of(user)), "RE=check_user&STATUS=refused&CP=blocked_user&");

  EXPECT_EQ(server.ask("OP=block_user_by_central_admin&PESEL=85050511117&"),
            "RE=block_user_by_central_admin&STATUS=refused&CP=no_file&");
  EXPECT_EQ(server.ask("OP=block_user_by_central_admin&"),
            "RE=block_user_by_central_admin&STATUS=refused&CP=incorrect_qvector[1]&");
}

TEST_F(UserBlockTest, NoticeFailuresStillRecordTheBlock) {
  fake_peer refusing(refuse_all);
  struct {
    const char* what;
    std::string puid;
    bool address;
    const char* firm;
    const char* pesel;
  } cases[] = {{"refused", std::to_string(refusing.port()), true, "N1234563218", "90010112349"},
               {"no address", std::to_string(refusing.port()), false, "N5270001118", "85050511117"},
               {"port not a number", "x1", true, "N1112223332", "77070733338"}};
  for (const auto& c : cases) {
    std::string user = firm_and_user(c.puid, c.address, c.firm, c.pesel);
    EXPECT_EQ(server.ask(std::string("OP=block_user_by_central_admin&PESEL=") + c.pesel + "&"),
              "RE=block_user_by_central_admin&STATUS=refused&CP=no_connect_SOLK&")
        << c.what;
    EXPECT_EQ(server.ask(check_of(user)), "RE=check_user&STATUS=refused&CP=blocked_user&") << c.what;
  }
  EXPECT_EQ(refusing.requests().size(), 1u);
}

TEST_F(UserBlockTest, StoredRecordOfAnotherPersonIsRefused) {
  std::string dir = server.path("DISK/PESEL/90/01/01/12/34/9");
  testing_support::make_dirs(dir);
  write_file(dir + "/pesel.usr", "UID32=AAA1&EUID=e&UIDP=BBB2&EUIDP=f&PESEL=85050511117&DEP=1&NAME=n&STAT=user&\n");
  EXPECT_EQ(server.ask("OP=block_user_by_central_admin&PESEL=90010112349&"),
            "RE=block_user_by_central_admin&STATUS=refused&CP=incorrect_qvector[2]&");
  EXPECT_EQ(lines_of(read_file(dir + "/pesel.usr")).size(), 1u);
}

}  // namespace
