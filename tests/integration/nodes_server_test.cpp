// add_ip_node and get_node through the real server: replies, cause codes,
// ip.q and the fixed records of list_ip.nq.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/record_paths.h"
#include "tests/support/server_fixture.h"

namespace {

using testing_support::entry;

using testing_support::central_server;
using testing_support::file_exists;
using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::write_file;

const std::string uid_a = "ABC12345678901234567890123456789";
const std::string uid_b = "XYZ98765432109876543210987654321";
const std::string list_ip = "DISK/LIST/list_ip.nq";

std::string record(const std::string& uid, const std::string& address) {
  std::string r = "UID32=" + uid + "&IPADDR=" + address + "&" + '\0';
  return r + std::string(65 - r.size(), '0');
}

class NodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.output() << server.errors();
    make_dirs(server.path(entry(uid_a)));
    make_dirs(server.path(entry(uid_b)));
  }
  std::string file(const std::string& rel) const { return read_file(server.path(rel)); }
  std::string add_ip(const std::string& uid, const std::string& address) {
    return server.ask("OP=add_ip_node&UID32=" + uid + "&IPNODE=" + address + "&");
  }
  std::string get(const std::string& uid, const std::string& dep) {
    return server.ask("OP=get_node&UID32=" + uid + "&DEP=" + dep + "&");
  }
  central_server server;  // entries are laid out by hand, letter levels included
  const std::string done = "RE=add_ip_node&STATUS=done&";
};

TEST_F(NodeTest, AddressesGoToIpQAndOneFixedRecordPerUid32) {
  ASSERT_EQ(add_ip(uid_a, "10.1.2.3"), done);
  ASSERT_EQ(add_ip(uid_b, "192.168.100.200"), done);
  EXPECT_EQ(file(entry(uid_a) + "/ip.q"), "IPADDR=10.1.2.3&\n");
  EXPECT_EQ(file(entry(uid_b) + "/ip.q"), "IPADDR=192.168.100.200&\n");
  const std::string second = record(uid_b, "192.168.100.200");
  EXPECT_EQ(file(list_ip), record(uid_a, "10.1.2.3") + second);
  EXPECT_EQ(file(list_ip).size(), 130u);

  // A new address replaces ip.q and overwrites the record in place.
  ASSERT_EQ(add_ip(uid_a, "a.b.c.d"), done);
  EXPECT_EQ(file(entry(uid_a) + "/ip.q"), "IPADDR=a.b.c.d&\n");
  EXPECT_EQ(file(list_ip), record(uid_a, "a.b.c.d") + second);
}

TEST_F(NodeTest, AddIpNodeRefusals) {
  const std::string qvector = "RE=add_ip_node&STATUS=refused&CP=incorrect_qvector&";
  EXPECT_EQ(server.ask("OP=add_ip_node&IPNODE=10.1.2.3&"), qvector);
  EXPECT_EQ(server.ask("OP=add_ip_node&UID32=" + uid_a + "&"), qvector);
  for (const char* address : {"10.1.2", "10.1.2.3.4", "", "1234.678.012.456"}) EXPECT_EQ(add_ip(uid_a, address), qvector) << address;
  EXPECT_EQ(add_ip(uid_a + "A", "10.1.2.3"), qvector);  // wider than a UID32

  // No entry, or a key that is no entry of the tree: nothing is created.
  const std::string no_file = "RE=add_ip_node&STATUS=refused&CP=no_file&";
  make_dirs(server.path("x"));
  for (const std::string key : {"ABD12345678901234567890123456789", "../../x", "..", "A/B/C", ""})
    EXPECT_EQ(add_ip(key, "10.1.2.3"), no_file) << key;
  EXPECT_FALSE(file_exists(server.path("x/ip.q")));
  EXPECT_FALSE(file_exists(server.path(entry("ABD12345678901234567890123456789"))));
  EXPECT_FALSE(file_exists(server.path(entry(uid_a) + "/ip.q")));
  EXPECT_FALSE(file_exists(server.path(list_ip)));
}

class GetNodeTest : public NodeTest {
 protected:
  const std::string line_ka = "UID32=" + uid_a + "&EUID=abcdefghijklmnopqrstuvwxyzabcdef&NAME=Shop&DEP=Ka&PUID=1&PORTP=2&PORTQ=3&NODES=4&DATE=20261207-09:05:03&";
  const std::string line_kb = "UID32=" + uid_a + "&EUID=abcdefghijklmnopqrstuvwxyzabcdef&NAME=Store&DEP=Kb&PUID=5&PORTP=6&PORTQ=7&NODES=8&DATE=20261207-09:05:04&";
};

TEST_F(GetNodeTest, ReturnsTheAddressAndTheLastLineHoldingTheDepText) {
  write_file(server.path(entry(uid_a) + "/node.q"), line_ka + "\n" + line_kb + "\n");
  ASSERT_EQ(add_ip(uid_a, "192.168.100.200"), done);
  EXPECT_EQ(get(uid_a, "Ka"), "RE=get_node&STATUS=done&LIP=192.168.100.200&" + line_ka);
  // "K" occurs in both lines: the last one answers, NAME and all.
  EXPECT_EQ(get(uid_a, "K"), "RE=get_node&STATUS=done&LIP=192.168.100.200&" + line_kb);
}

TEST_F(GetNodeTest, RefusalTable) {
  write_file(server.path(entry(uid_a) + "/node.q"), line_ka + "\n");
  const std::string qvector = "RE=get_node&STATUS=refused&CP=incorrect_qvector&";
  const std::string no_data = "RE=get_node&STATUS=refused&CP=no_data_node&";
  const std::string no_ip = "RE=get_node&STATUS=refused&CP=no_ip_node&";
  EXPECT_EQ(server.ask("OP=get_node&UID32=" + uid_a + "&"), qvector);
  EXPECT_EQ(server.ask("OP=get_node&DEP=Ka&"), qvector);
  EXPECT_EQ(get(uid_a, std::string(16, 'K')), qvector);
  EXPECT_EQ(get(uid_a, "Ka"), no_ip);  // registered, no address yet
  write_file(server.path(entry(uid_a) + "/ip.q"), "NAME=x&\nIPADDR=10.1.2.3&\n");
  EXPECT_EQ(get(uid_a, "Ka"), no_ip);  // the first line has no IPADDR
  write_file(server.path(entry(uid_a) + "/ip.q"), "IPADDR=10.1.2.3&\n");
  EXPECT_EQ(get(uid_a, "Kz"), no_data);
  EXPECT_EQ(get(uid_b, "Ka"), no_data);                                 // entry without node.q
  EXPECT_EQ(get("ABD12345678901234567890123456789", "Ka"), no_data);    // no entry

  // Files where a key taken as a path would lead are never read.
  make_dirs(server.path("x"));
  write_file(server.path("x/node.q"), line_ka + "\n");
  write_file(server.path("x/ip.q"), "IPADDR=10.1.2.3&\n");
  for (const std::string key : {"../../x", "..", "A/B/C"}) EXPECT_EQ(get(key, "Ka"), no_data) << key;
}

TEST_F(GetNodeTest, StoredLineTooLongToTravelWithItsAddressIsRefused) {
  std::string wide = line_ka + std::string(510 - line_ka.size(), 'w');
  write_file(server.path(entry(uid_a) + "/node.q"), wide + "\n");
  ASSERT_EQ(add_ip(uid_a, "10.1.2.3"), done);
  EXPECT_EQ(get(uid_a, "Ka"), "RE=get_node&STATUS=refused&CP=incorrect_qvector&");
}

}  // namespace
