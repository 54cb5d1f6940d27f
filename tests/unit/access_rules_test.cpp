// Operator access rules: reading the file, matching peers, and the refusal
// the dispatcher gives in place of the handler.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "base/text.h"
#include "server/access.h"
#include "server/dispatch.h"
#include "tests/support/server_fixture.h"

namespace {

using testing_support::temp_dir;
using testing_support::write_file;

std::size_t index_of(const std::string& op) {
  for (std::size_t i = 0; i < operation_count; ++i)
    if (op == operation_table[i].name) return i;
  ADD_FAILURE() << "no operation " << op;
  return operation_count;
}

class AccessRules : public ::testing::Test {
 protected:
  void TearDown() override { clear_access_rules(); }
  // Loads text as the rules file; the result of load_access_rules, reason in why.
  int load(const std::string& text) {
    write_file(dir / "rules", text);
    return load_access_rules((dir / "rules").c_str(), why, sizeof why);
  }
  bool allows(const std::string& op, const char* peer) { return access_allows(index_of(op), peer); }
  temp_dir dir;
  char why[256] = "";
};

TEST_F(AccessRules, NoFileMeansNoRulesAndEveryoneMayCallEverything) {
  ASSERT_EQ(load_access_rules((dir / "absent").c_str(), why, sizeof why), 0);
  EXPECT_EQ(access_rule_count(), 0u);
  for (std::size_t i = 0; i < operation_count; ++i) EXPECT_TRUE(access_allows(i, "203.0.113.9")) << i;
  ASSERT_EQ(load("# only comments\n\n   \n"), 0);
  EXPECT_EQ(access_rule_count(), 0u);
}

TEST_F(AccessRules, AMalformedRuleIsRefusedNamingItsLine) {
  struct {
    const char* line;
    const char* reason;
  } cases[] = {
      {"ALLOW=register&FROM=10.20.0.0/16", "without its closing '&'"},
      {"ALLOW=register&", "needs both"},
      {"FROM=10.0.0.1&", "needs both"},
      {"ALLOW=registr&FROM=10.0.0.1&", "unknown operation or group 'registr'"},
      {"ALLOW=Add_department&FROM=10.0.0.1&", "unknown operation or group"},
      {"ALLOW=register,,block&FROM=10.0.0.1&", "empty item"},
      {"ALLOW=&FROM=10.0.0.1&", "empty list"},
      {"ALLOW=register&FROM=&", "empty list"},
      {"ALLOW=register&FROM=10.20.0.0/16&DENY=x&", "unknown or repeated field"},
      {"ALLOW=register&ALLOW=block&FROM=10.0.0.1&", "unknown or repeated field"},
      {"allow=register&from=10.0.0.1&", "unknown or repeated field"},
      {"ALLOW=register&FROM=10.20.0.0/33&", "prefix length too long"},
      {"ALLOW=register&FROM=2001:db8::/129&", "prefix length too long"},
      {"ALLOW=register&FROM=10.20.0.0/&", "not a number"},
      {"ALLOW=register&FROM=10.20.0.0/1x&", "not a number"},
      {"ALLOW=register&FROM=10.20.1.0/16&", "bits set beyond its prefix"},
      {"ALLOW=register&FROM=10.20.0&", "not an IPv4 or IPv6 address '10.20.0'"},
      {"ALLOW=register&FROM=010.20.0.1&", "not an IPv4 or IPv6 address"},
      {"ALLOW=register&FROM=host.example&", "not an IPv4 or IPv6 address"},
      {"ALLOW=register&FROM=10.0.0.1 &", "not an IPv4 or IPv6 address"},
      {"ALLOW=register&FROM=fe80::1%eth0&", "not an IPv4 or IPv6 address"},
      {"ALLOW=register&FROM=10.0.0.1&garbage", "without its closing '&'"},
  };
  for (auto& c : cases) {
    EXPECT_EQ(load(std::string("# rules\nALLOW=query&FROM=0.0.0.0/0&\n") + c.line + "\n"), -1) << c.line;
    std::string reason = why;
    EXPECT_NE(reason.find("rules line 3: "), std::string::npos) << c.line << " -> " << reason;
    EXPECT_NE(reason.find(c.reason), std::string::npos) << c.line << " -> " << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << "one line";
    EXPECT_EQ(access_rule_count(), 0u) << "a refused file leaves no rule half in force";
  }
  EXPECT_EQ(load("ALLOW=query&FROM=" + std::string(1200, '1') + "&\n"), -1);
  EXPECT_NE(std::string(why).find("line 1: line too long"), std::string::npos) << why;

  // A folder in the file's place is not a file without rules.
  ::mkdir((dir / "folder").c_str(), 0755);
  EXPECT_EQ(load_access_rules((dir / "folder").c_str(), why, sizeof why), -1);
}

TEST_F(AccessRules, PeersMatchTheirNetworksWhetherPlainMappedOrIpv6) {
  ASSERT_EQ(load("# departments register and block from their network\n"
                 "ALLOW=register,block&FROM=10.20.0.0/16,192.0.2.64/26&\r\n"
                 "ALLOW=admin&FROM=198.51.100.7,2001:db8:a::/48&\n"
                 "ALLOW=get_last_log&FROM=::ffff:203.0.113.0/120&\n"
                 "ALLOW=query&FROM=0.0.0.0/0,::/0&\n"),
            0)
      << why;
  EXPECT_EQ(access_rule_count(), 7u);
  struct {
    const char* op;
    const char* peer;
    bool allowed;
  } cases[] = {
      {"add_department", "10.20.0.1", true},
      {"add_department", "10.20.255.255", true},
      {"add_department", "::ffff:10.20.3.4", true},  // IPv4-mapped meets the IPv4 rule
      {"add_department", "10.21.0.1", false},
      {"add_department", "172.16.0.1", false},
      {"add_department", "::ffff:172.16.0.1", false},
      {"block_department", "192.0.2.127", true},
      {"block_department", "192.0.2.128", false},
      {"block_department", "192.0.2.63", false},
      {"add_ip_node", "172.16.0.1", false},
      {"log_adm", "198.51.100.7", true},
      {"log_adm", "198.51.100.8", false},
      {"restore_files_local", "2001:db8:a:ffff::1", true},
      {"restore_files_local", "2001:db8:b::1", false},
      {"get_last_log", "203.0.113.200", true},  // an IPv6-written rule over mapped space
      {"get_last_log", "198.51.100.7", true},   // and the admin rule: the rules add up
      {"get_last_log", "203.0.114.1", false},
      {"check_user", "8.8.8.8", true},
      {"check_user", "2001:db8:ffff::1", true},
      {"add_usr", "", false},               // a peer that could not be rendered
      {"add_usr", "not-an-address", false},
  };
  for (auto& c : cases) EXPECT_EQ(allows(c.op, c.peer), c.allowed) << c.op << " from " << c.peer;
}

TEST_F(AccessRules, EachGroupNarrowsExactlyItsOperations) {
  const char* groups[] = {"register", "block", "query", "admin"};
  const char* members[][7] = {
      {"get_UID64", "get_start_code", "get_special_pesel", "add_department", "add_usr", "add_pesel_obj",
       "add_ip_node"},
      {"block_department", "block_user", "block_user_by_central_admin"},
      {"chk_scode", "get_dep_data", "check_user", "get_nlines_pesel", "get_line_pesel_obj", "get_node",
       "versionTAVR"},
      {"get_tavr_config", "chg_tavr_config", "log_adm", "get_last_log", "restore_files_local"},
  };
  std::size_t covered = 0;
  for (int g = 0; g < 4; ++g) {
    ASSERT_EQ(load(std::string("ALLOW=") + groups[g] + "&FROM=10.0.0.1&\n"), 0) << why;
    std::size_t narrowed = 0;
    for (std::size_t i = 0; i < operation_count; ++i) {
      bool member = false;
      for (const char* m : members[g]) member = member || (m && operation_table[i].name == std::string(m));
      EXPECT_EQ(access_allows(i, "10.0.0.2"), !member) << groups[g] << " " << operation_table[i].name;
      EXPECT_TRUE(access_allows(i, "10.0.0.1")) << groups[g] << " " << operation_table[i].name;
      narrowed += member;
    }
    covered += narrowed;
  }
  EXPECT_EQ(covered, operation_count) << "every operation belongs to one group";
}

TEST_F(AccessRules, TheDispatcherRefusesWithTheWrittenFormAndSparesLivenessAndUnknowns) {
  ASSERT_EQ(load("ALLOW=register,block,admin&FROM=10.20.0.0/16&\n"), 0) << why;
  struct {
    const char* request;
    const char* reply;
  } cases[] = {
      {"OP=add_department&NAME=n&DEP=1&NIP=N1234563218&REGON=null&PUID=1&PORTP=2&PORTQ=3&NODES=1&",
       "RE=add_department&STATUS=refused&CP=wrong_lan_ip&"},
      {"OP=add_ip_node&UID32=X&IPNODE=172.16.0.1&", "RE=add_ip_node&STATUS=refused&CP=wrong_lan_ip&"},
      {"OP=block_department&DEP=null&NIP=N1234563218&REGON=null&",
       "RE=block_department&STATUS=refused&CP=wrong_lan_ip&"},
      {"OP=block_user&PESEL=44051401359&", "RE=block_user&STATUS=refused&CP=wrong_lan_ip&"},
      {"OP=get_start_code&", "RE=get_start_code&CODE=null&"},
      {"OP=chg_tavr_config&PORTTAVR=9000&", "RE=chg_tavr_config&STATUS=refused&CP=wrong_lan_ip&"},
      {"OP=restore_files_local&", "RE=restore_files_local&STATUS=refused&CP=wrong_lan_ip&"},
      {"TEST=H00&", "REPLY=velmorTAVR_CENTRAL&"},
      {"OP=no_such_operation&", "I love you."},
  };
  for (auto& c : cases) {
    char buf[512];
    copy_text(buf, c.request);
    analizator(buf, buf, "172.16.0.1");
    EXPECT_STREQ(buf, c.reply) << c.request;
  }
}

// The example prepare-workdir lays changes nothing as laid, and its rules,
// once taken in, are well formed.
TEST_F(AccessRules, ThePreparedExampleIsInertAndItsRulesParse) {
  std::string cmd = std::string(VELMOR_SOURCE_DIR) + "/scripts/prepare-workdir.sh " + (dir / "w") + " >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  ASSERT_EQ(load_access_rules((dir / "w/velmorTAVR.access").c_str(), why, sizeof why), 0) << why;
  EXPECT_EQ(access_rule_count(), 0u);
  std::string text = testing_support::read_file(dir / "w/velmorTAVR.access"), taken;
  for (std::size_t at = 0; (at = text.find("\n#ALLOW=", at)) != std::string::npos; ++at)
    taken += text.substr(at + 2, text.find('\n', at + 1) - at - 2) + "\n";
  ASSERT_EQ(load(taken), 0) << why << "\n" << taken;
  EXPECT_EQ(access_rule_count(), 5u) << taken;
  EXPECT_FALSE(allows("add_department", "10.0.0.5"));
  EXPECT_TRUE(allows("log_adm", "10.0.0.6"));
}

}  // namespace
