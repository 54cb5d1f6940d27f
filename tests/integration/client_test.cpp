// The outgoing client against scripted peers and the reference local server.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/fake_peer.h"
#include "tests/support/server_fixture.h"
#include "tools/proto_client.h"
#include "wire/client.h"

namespace {

using testing_support::fake_peer;

// Shortens the client's time-outs for one test.
struct short_timeouts {
  short_timeouts() { timeout_seconds = 1, timeout_microsec = 0; }
  ~short_timeouts() { timeout_seconds = 10, timeout_microsec = 100; }
};

TEST(OutgoingClient, ReturnsTheDecodedReplyOfACodedAnswer) {
  fake_peer peer([](const std::string&) { return fake_peer::coded("RE=block_department&STATUS=done&"); });
  std::string head = "OP=block_department&DEP=", tail = "&EUID=" + std::string(32, 'e') + "&";
  std::string request = head + std::string(511 - head.size() - tail.size(), 'd') + tail;
  ASSERT_EQ(request.size(), 511u);
  char reply[512];
  EXPECT_EQ(client_U("127.0.0.1", peer.port(), request.c_str(), reply), 0);
  EXPECT_STREQ(reply, "RE=block_department&STATUS=done&");
  ASSERT_EQ(peer.requests().size(), 1u);
  EXPECT_EQ(peer.requests()[0], request);
}

TEST(OutgoingClient, EveryKindOfNonAnswerIsNullAndMinusOne) {
  short_timeouts quick;
  struct {
    const char* what;
    fake_peer::responder answer;
  } cases[] = {
      {"plain unknown reply", [](const std::string&) { return fake_peer::plain_unknown(); }},
      {"closes without sending", [](const std::string&) { return std::string(); }},
      {"never answers", [](const std::string&) { return fake_peer::hold(); }},
  };
  for (auto& c : cases) {
    fake_peer peer(c.answer);
    char reply[512];
    EXPECT_EQ(client_U("127.0.0.1", peer.port(), "OP=block_user_by_TAVR&PESEL=x&EUIDP=y&", reply), -1) << c.what;
    EXPECT_STREQ(reply, "null") << c.what;
  }
  char reply[512];
  EXPECT_EQ(client_U("127.0.0.1", testing_support::free_port(), "OP=x&", reply), -1) << "nobody listens";
  EXPECT_STREQ(reply, "null");
}

TEST(OutgoingClient, RefusesOverlongRequestsWithoutConnecting) {
  fake_peer peer([](const std::string&) { return fake_peer::coded("RE=x&STATUS=done&"); });
  std::string request(512, 'a');
  char reply[512];
  EXPECT_EQ(client_U("127.0.0.1", peer.port(), request.c_str(), reply), -1);
  EXPECT_STREQ(reply, "null");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(peer.connections(), 0);
}

// The conversion of a text that is not dotted-decimal used to fail silently
// and leave 0.0.0.0, which Linux connects to this host: the notice reached
// whatever listened on the port here. A port was cut to its low 16 bits.
TEST(OutgoingClient, NonDottedAddressOrBadPortNoLongerReachesThisHost) {
  fake_peer peer([](const std::string&) { return fake_peer::coded("RE=block_department&STATUS=done&"); });
  struct {
    const char* address;
    int port;
  } cases[] = {
      {"a.b.c.d", peer.port()},       {"...", peer.port()},        {"127.0.0.1 ", peer.port()},
      {" 127.0.0.1", peer.port()},    {"0.0.0.0", peer.port()},    {"0.1.2.3", peer.port()},
      {"256.0.0.1", peer.port()},     {"127.0.0.1.5", peer.port()}, {"127.0.1", peer.port()},
      {"127.0.0.01", peer.port()},    {"127.0.0.+1", peer.port()}, {"1234.0.0.1", peer.port()},
      {"", peer.port()},              {"127.0.0.1", 0},            {"127.0.0.1", -1},
      {"127.0.0.1", 65536 + peer.port()},
  };
  for (auto& c : cases) {
    char reply[512];
    EXPECT_EQ(client_U(c.address, c.port, "OP=block_department&DEP=1&EUID=e&", reply), -1)
        << "'" << c.address << "' port " << c.port;
    EXPECT_STREQ(reply, "null") << "'" << c.address << "'";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(peer.connections(), 0);

  char reply[512];
  EXPECT_EQ(client_U("127.0.0.1", peer.port(), "OP=block_department&DEP=1&EUID=e&", reply), 0);
  EXPECT_EQ(peer.connections(), 1);
}

// Anything at the address used to count as an acceptance: only a whole
// frame that decodes to a line of text is one now.
TEST(OutgoingClient, AnythingButAWholeCodedFrameIsNoLongerAnAnswer) {
  short_timeouts quick;
  std::string frame = fake_peer::coded("RE=block_department&STATUS=done&");
  struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"a banner", "SSH-2.0-banner\r\n"},
      {"an HTTP error", "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"},
      {"a refusal outside a frame", "RE=block_department&STATUS=refused&CP=x&"},
      {"a frame cut short", frame.substr(0, 1023)},
      {"half a frame", frame.substr(0, 512)},
      {"one byte every 100 ms", fake_peer::trickle()},
  };
  for (auto& c : cases) {
    fake_peer peer([&](const std::string&) { return c.bytes; });
    char reply[512];
    EXPECT_EQ(client_U("127.0.0.1", peer.port(), "OP=block_department&DEP=1&EUID=e&", reply), -1) << c.what;
    EXPECT_STREQ(reply, "null") << c.what;
    EXPECT_EQ(peer.connections(), 1) << c.what;
  }
  // A whole frame of the empty message is an acceptance, as is any coded line.
  fake_peer empty([](const std::string&) { return fake_peer::coded(""); });
  char reply[512] = "x";
  EXPECT_EQ(client_U("127.0.0.1", empty.port(), "OP=block_department&DEP=1&EUID=e&", reply), 0);
  EXPECT_STREQ(reply, "");
}

// velmor-local started on a free port with the given mode.
class local_server {
 public:
  explicit local_server(const char* mode) : port_(testing_support::free_port()) {
    std::string bin = std::string(VELMOR_BUILD_DIR) + "/velmor-local";
    std::string p = std::to_string(port_);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (*mode)
        ::execl(bin.c_str(), "velmor-local", "-b", "127.0.0.1", "-p", p.c_str(), mode, nullptr);
      else
        ::execl(bin.c_str(), "velmor-local", "-b", "127.0.0.1", "-p", p.c_str(), nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      proto::reply r;
      if (proto::exchange("127.0.0.1", port_, "TEST=H00&", r, 500) == proto::outcome::reply) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~local_server() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  int port_;
  pid_t pid_;
};

TEST(ReferenceLocalServer, AcceptsRefusesOrIgnoresNoticesAsTold) {
  const char* notice = "OP=block_department&DEP=7&EUID=abcdefghijabcdefghijabcdefghijab&";
  char reply[512];
  {
    local_server local("");
    EXPECT_EQ(client_U("127.0.0.1", local.port(), notice, reply), 0);
    EXPECT_STREQ(reply, "RE=block_department&STATUS=done&");
    EXPECT_EQ(client_U("127.0.0.1", local.port(), "OP=get_UID64&", reply), -1) << "not a notice";
  }
  {
    local_server local("--refuse");
    EXPECT_EQ(client_U("127.0.0.1", local.port(), "OP=block_user_by_TAVR&PESEL=1&EUIDP=x&", reply), 0);
    EXPECT_NE(std::string(reply).find("refused"), std::string::npos) << reply;
  }
  for (const char* mode : {"--unknown", "--close"}) {
    local_server local(mode);
    EXPECT_EQ(client_U("127.0.0.1", local.port(), notice, reply), -1) << mode;
    EXPECT_STREQ(reply, "null") << mode;
  }
}

}  // namespace
