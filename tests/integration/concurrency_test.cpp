// No client holds up another: a block waiting on a slow local server, requests
// on the same firm arriving meanwhile, frames that come in pieces.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <future>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/dated_text.h"
#include "tests/support/fake_peer.h"
#include "tests/support/record_paths.h"
#include "tests/support/server_fixture.h"
#include "wire/v1.h"

namespace {

using namespace std::chrono;
using testing_support::central_server;
using testing_support::fake_peer;
using testing_support::lines_of;
using testing_support::read_file;
using testing_support::value_of;

constexpr char nip[] = "N1234563218";
constexpr char regon[] = "RN123456785";

// A local server that accepts every notice after a pause.
fake_peer::responder slow_accept(milliseconds pause) {
  return [pause](const std::string& r) {
    std::this_thread::sleep_for(pause);
    return fake_peer::coded("RE=" + value_of(r, "OP") + "&STATUS=done&");
  };
}

class Concurrency : public ::testing::Test {
 protected:
  Concurrency() : server(testing_support::with_linked_letter_levels()) {}
  void SetUp() override { ASSERT_TRUE(server.start()) << server.errors(); }

  std::string add_dep(const std::string& dep, int port) {
    return server.ask("OP=add_department&NAME=Dept&DEP=" + dep + "&NIP=" + nip + "&REGON=" + regon +
                      "&PUID=" + std::to_string(port) + "&PORTP=7001&PORTQ=7002&NODES=1&");
  }
  // A firm of n departments whose local server is at port; its UID32.
  std::string firm(int n, int port) {
    std::string uid;
    for (int i = 0; i < n; ++i) uid = value_of(add_dep("d-" + std::to_string(i), port), "UID32");
    EXPECT_EQ(server.ask("OP=add_ip_node&UID32=" + uid + "&IPNODE=127.0.0.1&"), "RE=add_ip_node&STATUS=done&");
    return uid;
  }
  std::string block_all() {
    return server.ask("OP=block_department&DEP=null&NIP=" + std::string(nip) + "&REGON=" + regon + "&");
  }
  std::string node_q(const std::string& uid) { return read_file(server.path(testing_support::entry(uid) + "/node.q")); }
  std::string pesel_nod() { return read_file(server.path(testing_support::person_dir(nip) + "/pesel.nod")); }

  central_server server;
};

// The case of a firm of eight departments whose local server takes its time
// with every notice: everyone else is served meanwhile, and a request on the
// same firm runs after the block, seeing what the block left.
TEST_F(Concurrency, OthersAreServedWhileABlockWaitsAndTheFirmsRequestsFollowIt) {
  fake_peer local(slow_accept(milliseconds(300)));
  const std::string uid = firm(8, local.port());
  auto block = std::async(std::launch::async, [&] { return block_all(); });
  while (local.requests().empty()) std::this_thread::sleep_for(milliseconds(5));

  // The firm's next department arrives while the block is under way.
  auto later = std::async(std::launch::async, [&] { return add_dep("d-late", local.port()); });
  std::this_thread::sleep_for(milliseconds(50));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
  EXPECT_EQ(server.ask("OP=get_UID64&").substr(0, 13), "OP=get_UID64&");
  EXPECT_EQ(block.wait_for(seconds(0)), std::future_status::timeout) << "the others waited for the block";

  EXPECT_EQ(block.get(), "RE=block_department&STATUS=done&");
  const std::string late = later.get();
  ASSERT_EQ(value_of(late, "STATUS"), "done") << late;
  ASSERT_EQ(local.requests().size(), 8u);
  const std::string new_euid = value_of(local.requests().front(), "EUID");
  // It took the pair the block gave, and its line follows the block's.
  EXPECT_EQ(value_of(late, "EUID"), new_euid);
  const auto lines = lines_of(node_q(uid));
  ASSERT_EQ(lines.size(), 9u);
  for (const std::string& l : lines) EXPECT_EQ(value_of(l, "EUID"), new_euid) << l;
  EXPECT_EQ(value_of(lines.back(), "DEP"), "d-late");
  EXPECT_FALSE(testing_support::file_exists(server.path(testing_support::entry(uid) + "/TMP")));
}

// Registrations, users and blocks of one firm from many clients at once:
// every acknowledged line is in its files, and every line of the firm carries
// the pair of the last block, as in a serial run.
TEST_F(Concurrency, ConcurrentRequestsOnOneFirmLoseNoLine) {
  fake_peer local(slow_accept(milliseconds(20)));
  const std::string uid = firm(2, local.port());
  const std::string euid = value_of(add_dep("d-0", local.port()), "EUID");
  std::vector<std::future<std::string>> replies;
  std::vector<std::string> deps, users;
  for (int i = 0; i < 24; ++i) {
    if (i % 4 == 1) {
      replies.push_back(std::async(std::launch::async, [&] { return block_all(); }));
    } else if (i % 4 == 3) {
      // PESEL 9001011234x: a check digit makes each one valid.
      static const char* pesels[] = {"90010112349", "44051401359", "02070803628", "85121612345",
                                     "00000070049", "99122900002"};
      std::string pesel = pesels[users.size() % 6];
      users.push_back(pesel);
      replies.push_back(std::async(std::launch::async, [this, uid, euid, pesel] {
        return server.ask("OP=add_usr&UID32=" + uid + "&EUID=" + euid + "&UIDP=null&EUIDP=null&PESEL=" + pesel +
                          "&DEP=d-0&NAME=U&STAT=user&");
      }));
    } else {
      deps.push_back("x-" + std::to_string(i) + "-");  // no DEP text inside another (lines match by text)
      replies.push_back(std::async(std::launch::async, [this, d = deps.back(), &local] { return add_dep(d, local.port()); }));
    }
  }
  for (auto& r : replies) {
    const std::string reply = r.get();
    if (value_of(reply, "RE") == "add_usr") continue;  // refused PESELs aside; their records are checked below
    EXPECT_EQ(value_of(reply, "STATUS"), "done") << reply;
  }
  const auto nodes = lines_of(node_q(uid));
  const auto firm_lines = lines_of(pesel_nod());
  std::set<std::string> node_deps, firm_deps, euids;
  for (const std::string& l : nodes) node_deps.insert(value_of(l, "DEP")), euids.insert(value_of(l, "EUID"));
  for (const std::string& l : firm_lines) firm_deps.insert(value_of(l, "DEP")), euids.insert(value_of(l, "EUID"));
  for (const std::string& d : deps) {
    EXPECT_TRUE(node_deps.count(d)) << d << " lost from node.q";
    EXPECT_TRUE(firm_deps.count(d)) << d << " lost from pesel.nod";
  }
  EXPECT_EQ(nodes.size(), firm_lines.size());
  EXPECT_EQ(euids.size(), 1u) << "a line was written with a pair a block had already replaced";
  for (const std::string& p : users) {
    const std::string current = read_file(server.path(testing_support::person_dir(p) + "/pesel.usr"));
    if (current.empty()) continue;  // refused as a PESEL of the wrong form
    EXPECT_TRUE(testing_support::file_exists(
        server.path(testing_support::entry(value_of(lines_of(current).back(), "UIDP")) + "/usr.q")));
  }
  EXPECT_FALSE(testing_support::file_exists(server.path(testing_support::entry(uid) + "/TMP")));
}

// A configuration change waits until no block runs: its rewrite of the
// configuration comes after the block's reply, never beside it.
TEST_F(Concurrency, AConfigurationChangeWaitsForTheBlocksUnderWay) {
  fake_peer local(slow_accept(milliseconds(500)));
  firm(2, local.port());
  auto block = std::async(std::launch::async, [&] { return block_all(); });
  while (local.requests().empty()) std::this_thread::sleep_for(milliseconds(5));
  auto change = std::async(std::launch::async, [&] { return server.ask("OP=chg_tavr_config&PORTTAVR=8810&"); });
  // The block has most of a second to go; an answer now would be beside it.
  EXPECT_EQ(change.wait_for(milliseconds(300)), std::future_status::timeout);
  EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
  EXPECT_EQ(block.get(), "RE=block_department&STATUS=done&");
  EXPECT_EQ(change.get(), "RE=chg_tavr_config&STATUS=done&");
}

int connect_to(int port) { return testing_support::connect_local(port, 20); }

std::string coded(const std::string& message) {
  unsigned char frame[1024];
  codeV1(message.c_str(), frame);
  return std::string(reinterpret_cast<char*>(frame), sizeof frame);
}

std::string reply_of(int fd) {
  unsigned char frame[1024];
  if (::recv(fd, frame, sizeof frame, MSG_WAITALL) != 1024) return "<no reply>";
  char text[512];
  decodeV1(frame, text);
  return text;
}

// A frame in two segments, the second 200 ms after the first, is one
// request; a frame that stops short is answered with what came.
TEST_F(Concurrency, AFrameInPiecesIsGatheredAndAShortOneAnsweredWithWhatCame) {
  const std::string frame = coded("OP=add_department&NAME=Split&DEP=s-1&NIP=" + std::string(nip) +
                                  "&REGON=null&PUID=9001&PORTP=9002&PORTQ=9003&NODES=1&");
  int fd = connect_to(server.port());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, frame.data(), 600, MSG_NOSIGNAL), 600);
  std::this_thread::sleep_for(milliseconds(200));
  ASSERT_EQ(::send(fd, frame.data() + 600, 424, MSG_NOSIGNAL), 424);
  const std::string reply = reply_of(fd);
  ::close(fd);
  EXPECT_EQ(value_of(reply, "STATUS"), "done") << reply;
  EXPECT_NE(pesel_nod().find("DEP=s-1&"), std::string::npos);

  // Only the first 40 bytes, then silence: answered as a frame of zeros past
  // them, after about a second, not after the 30 s of a silent connection.
  fd = connect_to(server.port());
  ASSERT_GE(fd, 0);
  const auto start = steady_clock::now();
  const std::string liveness = coded("TEST=H00&");
  ASSERT_EQ(::send(fd, liveness.data(), 40, MSG_NOSIGNAL), 40);
  const std::string cut = reply_of(fd);
  const auto waited = steady_clock::now() - start;
  ::close(fd);
  EXPECT_EQ(cut, "REPLY=velmorTAVR_CENTRAL&");
  EXPECT_GE(waited, milliseconds(800));
  EXPECT_LT(waited, seconds(10));
}

}  // namespace
