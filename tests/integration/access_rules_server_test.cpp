// Operator access rules through the real server. Every 127.0.0.0/8 address is
// this host, so a client bound to 127.0.0.2 (or to ::ffff:127.0.0.3 on an
// IPv6 socket) reaches the server from another peer address without leaving
// the machine.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "base/owners.h"
#include "tests/support/record_paths.h"
#include "tests/support/server_fixture.h"
#include "wire/message.h"
#include "wire/v1.h"

namespace {

using testing_support::central_server;
using testing_support::file_exists;
using testing_support::write_file;

// One coded exchange from source (IPv4, or IPv4-mapped IPv6 text) to the
// server on 127.0.0.1; the decoded reply, "I love you." for the plain reply,
// or "<...>" when the exchange failed.
std::string ask_from(const char* source, int port, const std::string& message) {
  bool v6 = std::strchr(source, ':') != nullptr;
  unique_fd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return "<socket>";
  timeval tv{15, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_storage from{}, to{};
  socklen_t len;
  if (v6) {
    auto& f = reinterpret_cast<sockaddr_in6&>(from);
    auto& t = reinterpret_cast<sockaddr_in6&>(to);
    f.sin6_family = t.sin6_family = AF_INET6;
    t.sin6_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET6, source, &f.sin6_addr) != 1) return "<source>";
    ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &t.sin6_addr);
    len = sizeof(sockaddr_in6);
  } else {
    auto& f = reinterpret_cast<sockaddr_in&>(from);
    auto& t = reinterpret_cast<sockaddr_in&>(to);
    f.sin_family = t.sin_family = AF_INET;
    t.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, source, &f.sin_addr) != 1) return "<source>";
    t.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof(sockaddr_in);
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&from), len) != 0) return "<bind>";
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), len) != 0) return "<connect>";
  unsigned char frame[1024];
  codeV1(message.c_str(), frame);
  if (::send(fd.get(), frame, sizeof frame, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof frame)) return "<send>";
  std::memset(frame, 0, sizeof frame);
  ssize_t n = ::recv(fd.get(), frame, sizeof frame, MSG_WAITALL);
  if (n != static_cast<ssize_t>(sizeof frame)) return "<recv " + std::to_string(n) + ">";
  if (std::strcmp(reinterpret_cast<char*>(frame), "I love you.") == 0) return "I love you.";
  char text[512];
  decodeV1(frame, text);
  return text;
}

std::string field(const std::string& reply, const char* key) {
  char v[512];
  return select_value(reply.c_str(), key, v) == field_found ? v : "<absent>";
}

constexpr char kRules[] =
    "# departments register and block from their network, administrators from one host\n"
    "ALLOW=register,block&FROM=127.0.0.2/32,127.0.1.0/24&\n"
    "ALLOW=admin&FROM=127.0.0.3&\n"
    "ALLOW=query&FROM=0.0.0.0/0,::/0&\n";

class AccessRulesServer : public ::testing::Test {
 protected:
  AccessRulesServer() : server(testing_support::with_linked_letter_levels()) {}
  void SetUp() override {
    write_file(server.path("velmorTAVR.access"), kRules);
    ASSERT_TRUE(server.start()) << server.output();
  }
  std::string ask(const char* source, const std::string& m) { return ask_from(source, server.port(), m); }
  central_server server;
};

const std::string kAddDepartment =
    "OP=add_department&NAME=Firm&DEP=1&NIP=N1234563218&REGON=null&PUID=9100&PORTP=9101&PORTQ=9102&NODES=1&";

// Anyone who knew a firm's NIP could take its identifiers, point its notices
// at himself and block it: with rules, a caller outside the listed networks no
// longer can.
TEST_F(AccessRulesServer, AnOutsiderCanNoLongerRegisterRedirectOrBlockAFirm) {
  EXPECT_NE(server.output().find(" ACCESS RULES:      5 networks from velmorTAVR.access\n"), std::string::npos)
      << server.output();
  std::string added = ask("127.0.0.2", kAddDepartment);
  ASSERT_EQ(field(added, "STATUS"), "done") << added;
  std::string uid = field(added, "UID32");
  ASSERT_EQ(ask("127.0.1.9", "OP=add_ip_node&UID32=" + uid + "&IPNODE=127.0.0.2&"), "RE=add_ip_node&STATUS=done&");
  const std::string node_q = testing_support::read_file(server.path(testing_support::entry(uid) + "/node.q"));

  for (const char* outsider : {"127.0.0.5", "::ffff:127.0.0.5", "127.0.2.1"}) {
    struct {
      std::string request, reply;
    } cases[] = {
        {kAddDepartment, "RE=add_department&STATUS=refused&CP=wrong_lan_ip&"},
        {"OP=add_ip_node&UID32=" + uid + "&IPNODE=127.0.0.5&", "RE=add_ip_node&STATUS=refused&CP=wrong_lan_ip&"},
        {"OP=block_department&DEP=null&NIP=N1234563218&REGON=null&",
         "RE=block_department&STATUS=refused&CP=wrong_lan_ip&"},
        {"OP=block_user&PESEL=44051401359&", "RE=block_user&STATUS=refused&CP=wrong_lan_ip&"},
        {"OP=get_start_code&", "RE=get_start_code&CODE=null&"},
        {"OP=chg_tavr_config&PORTTAVR=9000&", "RE=chg_tavr_config&STATUS=refused&CP=wrong_lan_ip&"},
        {"OP=restore_files_local&", "RE=restore_files_local&STATUS=refused&CP=wrong_lan_ip&"},
        {"OP=get_tavr_config&", "RE=get_tavr_config&STATUS=refused&CP=wrong_lan_ip&"},
        {"TEST=H00&", "REPLY=velmorTAVR_CENTRAL&"},
        {"OP=no_such_operation&", "I love you."},
    };
    for (auto& c : cases) EXPECT_EQ(ask(outsider, c.request), c.reply) << outsider << ": " << c.request;
    // Queries are open to all.
    EXPECT_EQ(field(ask(outsider, "OP=get_dep_data&UID32=" + uid + "&DEP=1&"), "STATUS"), "done") << outsider;
  }
  EXPECT_EQ(testing_support::read_file(server.path(testing_support::entry(uid) + "/ip.q")), "IPADDR=127.0.0.2&\n");
  EXPECT_EQ(testing_support::read_file(server.path(testing_support::entry(uid) + "/node.q")), node_q);

  // The administrators' host, over an IPv4-mapped socket too.
  for (const char* admin : {"127.0.0.3", "::ffff:127.0.0.3"})
    EXPECT_EQ(field(ask(admin, "OP=get_tavr_config&"), "PORTTAVR"), std::to_string(server.port())) << admin;
  EXPECT_EQ(ask("::ffff:127.0.0.3", "OP=chg_tavr_config&PORTTAVR=9000&"), "RE=chg_tavr_config&STATUS=done&");
  EXPECT_EQ(ask("127.0.0.2", "OP=get_tavr_config&"), "RE=get_tavr_config&STATUS=refused&CP=wrong_lan_ip&");
}

TEST(AccessRulesStart, AMalformedRuleStopsTheStartNamingTheLine) {
  central_server server;
  write_file(server.path("velmorTAVR.access"), "# rules\nALLOW=register&FROM=10.20.0.0/16&\nALLOW=query&FROM=10.0.0.0/33&\n");
  EXPECT_EQ(server.run_to_exit(), 1);
  std::string out = server.output();
  EXPECT_NE(out.find("\n ERROR: velmorTAVR.access line 3: prefix length too long '10.0.0.0/33'\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("velmor_TAVR works"), std::string::npos) << out;
}

TEST(AccessRulesStart, WithoutTheFileEveryoneMayCallAsBefore) {
  central_server server(testing_support::with_linked_letter_levels());
  ASSERT_TRUE(server.start());
  ASSERT_FALSE(file_exists(server.path("velmorTAVR.access")));
  EXPECT_EQ(server.output().find("ACCESS RULES"), std::string::npos);
  EXPECT_EQ(field(ask_from("127.0.0.5", server.port(), kAddDepartment), "STATUS"), "done");
  std::string code = ask_from("127.0.0.5", server.port(), "OP=get_start_code&");
  EXPECT_NE(field(code, "CODE"), "null") << code;
  EXPECT_NE(field(code, "CODE"), "<absent>") << code;
}

}  // namespace
