// The server binary over real TCP: start-up, liveness, unknown operations,
// frame handling and the first operation end to end.
#include <gtest/gtest.h>

#include <filesystem>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server/dispatch.h"
#include "server/loop.h"
#include "tests/support/record_text.h"
#include "tests/support/server_fixture.h"
#include "wire/v1.h"

namespace {

using testing_support::central_server;
using testing_support::raw_exchange;
using testing_support::server_options;

std::string coded(const char* message) {
  unsigned char frame[1024];
  codeV1(message, frame);
  return std::string(reinterpret_cast<char*>(frame), sizeof frame);
}

bool is_plain_unknown(const std::string& bytes) {
  return bytes.size() == 1024 && bytes.compare(0, 12, std::string("I love you.\0", 12)) == 0 &&
         bytes.find_first_not_of('\0', 12) == std::string::npos;
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output() << server.errors(); }
  central_server server;
};

TEST_F(ServerTest, AnswersLivenessBeforeAnyOperation) {
  EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
  EXPECT_EQ(server.ask("OP=get_UID64&TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
}

TEST_F(ServerTest, UnknownOperationsGetThePlainTextFollowedByZeros) {
  for (const char* m : {"OP=no_such_op&", "NAME=x&", "OP=", "OP=GET_UID64&", "OP=get_UID64", "TEST=H01&"})
    EXPECT_TRUE(is_plain_unknown(raw_exchange(server.port(), coded(m)))) << m;
}

// Every row of the dispatch table is reachable by its name and reaches its
// own handler: an empty request to each is answered in that operation's
// name, never with the unknown reply or another operation's.
TEST_F(ServerTest, EveryTableRowAnswersInItsOwnName) {
  std::set<std::string> names;
  for (std::size_t i = 0; i < operation_count; ++i) {
    const operation_row& row = operation_table[i];
    const std::string name = row.name;
    EXPECT_TRUE(names.insert(name).second) << "two rows named " << name;
    EXPECT_NE(row.plain == nullptr, row.with_peer == nullptr) << name << " needs exactly one handler";
    const std::string reply = server.ask("OP=" + name + "&");
    const std::string head = (name == "get_UID64" ? "OP=" : "RE=") + name + "&";
    EXPECT_EQ(reply.substr(0, head.size()), head) << reply;
  }
}

TEST_F(ServerTest, GetUid64ServesAFreshUnrecordedPair) {
  auto well_formed = [](const std::string& r) {
    return r.size() == 90 && r.substr(0, 19) == "OP=get_UID64&UID32=" && testing_support::is_uid32(r.substr(19, 32)) &&
           r.substr(51, 6) == "&EUID=" && testing_support::is_euid(r.substr(57, 32)) && r.back() == '&';
  };
  std::string first = server.ask("OP=get_UID64&NAME=ignored&");
  std::string second = server.ask("OP=get_UID64&");
  EXPECT_TRUE(well_formed(first)) << first;
  EXPECT_TRUE(well_formed(second)) << second;
  EXPECT_EQ(first.size(), 90u);
  EXPECT_NE(first, second);
}

TEST_F(ServerTest, EveryReplyIsOneFrameWhateverTheRequestLength) {
  std::string full = coded("OP=get_UID64&");
  for (std::size_t len : {1u, 40u, 600u, 1024u, 1500u}) {
    std::string request = len <= full.size() ? full.substr(0, len) : full + std::string(len - full.size(), 'x');
    EXPECT_EQ(raw_exchange(server.port(), request).size(), 1024u) << len;
  }
}

TEST_F(ServerTest, ShortFrameDecodesAsIfTheMissingBytesWereZero) {
  // The liveness message and its terminator lie in the first 20 frame bytes.
  std::string reply = raw_exchange(server.port(), coded("TEST=H00&").substr(0, 40));
  ASSERT_EQ(reply.size(), 1024u);
  unsigned char frame[1024];
  std::copy(reply.begin(), reply.end(), frame);
  char text[512];
  decodeV1(frame, text);
  EXPECT_STREQ(text, "REPLY=velmorTAVR_CENTRAL&");
}

TEST_F(ServerTest, SilentOrVanishingPeersGetNoReplyAndDoNotStopTheServer) {
  EXPECT_EQ(raw_exchange(server.port(), ""), "") << "a peer that sends nothing and closes";
  // Peers that send a request and reset at once: the reply write fails.
  for (int i = 0; i < 20; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(server.port()));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::string frame = coded("OP=get_UID64&");
    ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
  }
  EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
}

TEST(ServerStart, PrintsTheReportAndBanner) {
  central_server server(testing_support::with_config("PORT_CENTRAL=@PORT@&\nUIDBASE=/dev/vdz9&DIR=U&\nPESELBASE=/dev/vdz9&\n"
                                   "LISTBASE=/dev/vdz9&\n"));
  ASSERT_TRUE(server.start());
  std::string expected = "\n MOUNT POINT UID:   /dev/vdz9\n MOUNT POINT PESEL: /dev/vdz9\n"
                         " MOUNT POINT LIST:  /dev/vdz9\n MOUNT POINT START: on system disk\n"
                         " CENTRAL PORT:      " + std::to_string(server.port()) +
                         "\n FOLDER UID:        DISK/U\n FOLDER PESEL:      DISK/PESEL\n"
                         " FOLDER LIST:       DISK/LIST\n FOLDER START:      DISK/START\n"
                         " TEST:              0\n\n\n ... velmor_TAVR works ...\n\n";
  EXPECT_EQ(server.output(), expected);
}

TEST(ServerStart, RefusesPortZeroAndNonRootUsers) {
  central_server zero(testing_support::with_config("PORT_CENTRAL=0&\n"));
  EXPECT_EQ(zero.run_to_exit(), 0);
  EXPECT_NE(zero.output().find("\n\n   Error: Incorrect port number in config file\n"), std::string::npos)
      << zero.output();

  // The build folder may sit in a checkout nobody else may enter (under
  // /root, mode 0700): the other user runs a copy from a folder it can reach.
  testing_support::temp_dir reachable;
  ::chmod(reachable.path().c_str(), 0755);
  std::error_code ec;
  std::filesystem::copy_file(std::string(VELMOR_BUILD_DIR) + "/velmor-central", reachable / "velmor-central", ec);
  if (ec) GTEST_SKIP() << "no copy of velmor-central for uid 65534 in " << reachable.path() << ": " << ec.message();
  server_options as_nobody;
  as_nobody.binary = reachable / "velmor-central";
  central_server user(as_nobody);
  ::chmod(user.dir().path().c_str(), 0777);
  EXPECT_EQ(user.run_to_exit(65534), 0) << user.errors();
  EXPECT_EQ(user.output(), "\n Login as root!\n");
}

TEST(ServerStart, MissingOrInconsistentConfigurationIsReportedButDoesNotStopTheStart) {
  // Mount points that disagree: the settings read stay, nothing is mounted.
  central_server server(testing_support::with_config("PORT_CENTRAL=@PORT@&\nUIDBASE=/dev/a&\nPESELBASE=/dev/b&\n"
                                   "LISTBASE=/dev/a&\nSTARTBASE=/dev/a&\n"));
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.output(), "\n ERROR: incorrct velmorTAVR.config\n\n ... velmor_TAVR works ...\n\n");

  central_server missing(testing_support::without_config());
  missing.launch();
  EXPECT_TRUE(missing.wait_output(" ... velmor_TAVR works ..."));
  EXPECT_EQ(missing.output().rfind("\n ERROR: incorrct velmorTAVR.config\n", 0), 0u) << missing.output();
}

TEST(ServerStart, TestModePrintsOneLinePerRequestReplyAndConnection) {
  central_server server(testing_support::with_config("PORT_CENTRAL=@PORT@&\nTEST=1&\n"));
  ASSERT_TRUE(server.start());
  std::string uid = server.ask("OP=get_UID64&");
  server.ask("OP=nothing&");
  ASSERT_TRUE(server.wait_output("TEST: I love you.\n"));
  ASSERT_TRUE(server.wait_output("EXEC OUT[2]: " + uid + "\n"));
  std::string out = server.output();
  EXPECT_NE(out.find("EXEC REC[2]: OP=get_UID64&\n"), std::string::npos);
  EXPECT_NE(out.find("EXEC REC[2]: OP=nothing&\nTEST: I love you.\n"), std::string::npos);
  EXPECT_NE(out.find("Accepted connection on descriptor "), std::string::npos);
  EXPECT_NE(out.find("(host=127.0.0.1, port="), std::string::npos);
  EXPECT_NE(out.find("Closed connection on descriptor "), std::string::npos);
}

TEST(PeerAddress, MappedIpv4PeersAreRenderedAsPlainDottedText) {
  sockaddr_storage ss{};
  auto& in6 = reinterpret_cast<sockaddr_in6&>(ss);
  in6.sin6_family = AF_INET6;
  unsigned char mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 100, 200};
  std::copy(mapped, mapped + 16, in6.sin6_addr.s6_addr);
  char out[16];
  render_peer(ss, out);
  EXPECT_STREQ(out, "192.168.100.200");

  auto& in4 = reinterpret_cast<sockaddr_in&>(ss);
  in4.sin_family = AF_INET;
  in4.sin_addr.s_addr = htonl(0x0a010203);
  render_peer(ss, out);
  EXPECT_STREQ(out, "10.1.2.3");
}

}  // namespace
