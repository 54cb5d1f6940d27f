// versionTAVR, get_tavr_config and chg_tavr_config through the real server;
// the caller rule of chg_tavr_config with the handler called directly.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "admin/version_config.h"
#include "tests/support/server_fixture.h"
#include "wire/message.h"

namespace {

namespace fs = std::filesystem;
using testing_support::central_server;
using testing_support::file_exists;
using testing_support::read_file;
using testing_support::write_file;

class VersionConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output() << server.errors(); }
  std::string config() const { return read_file(server.path("velmorTAVR.config")); }
  void set_config(const std::string& text) { write_file(server.path("velmorTAVR.config"), text); }
  std::string change(const std::string& port) { return server.ask("OP=chg_tavr_config&PORTTAVR=" + port + "&"); }
  central_server server;
};

TEST_F(VersionConfigTest, VersionReportsTheFirstTwoLines) {
  struct row {
    std::string file, reply;
  } rows[] = {
      {"1.0.0\nLinux\n", "RE=versionTAVR&VER=1.0.0&SYS=Linux&"},
      {"2.1\nLinux x86_64\nthird\n", "RE=versionTAVR&VER=2.1&SYS=Linux x86_64&"},
      {"2.1\nLinux", "RE=versionTAVR&VER=2.1&SYS=Linux&"},
      {"2.1\n", "RE=versionTAVR&VER=2.1&SYS=null&"},
      {"", "RE=versionTAVR&VER=null&SYS=null&"},
      {"\nLinux\n", "RE=versionTAVR&VER=&SYS=Linux&"},
      {std::string(200, 'v') + "\nLinux\n", "RE=versionTAVR&VER=" + std::string(127, 'v') + "&SYS=Linux&"},
  };
  for (const row& r : rows) {
    write_file(server.path("BIN/version"), r.file);
    EXPECT_EQ(server.ask("OP=versionTAVR&"), r.reply) << r.file;
  }
  fs::remove(server.path("BIN/version"));
  EXPECT_EQ(server.ask("OP=versionTAVR&"), "RE=versionTAVR&VER=null&SYS=null&CP=no_file&");
}

TEST_F(VersionConfigTest, TheLastLineMentioningThePortDecides) {
  EXPECT_EQ(server.ask("OP=get_tavr_config&"), "RE=get_tavr_config&PORTTAVR=" + std::to_string(server.port()) + "&");
  struct row {
    std::string file, port;
  } rows[] = {
      {"TEST=1&\n", "null"},
      {"PORT_CENTRAL=9000\n", "null"},  // no closing '&'
      {"PORT_CENTRAL=9000&\nPORT_CENTRAL=9001&\n", "9001"},
      {"PORT_CENTRAL=9000&\n#PORT_CENTRAL=9002&\n", "9002"},
      {"PORT_CENTRAL=9000&\n# no PORT_CENTRAL here\n", "null"},
      {"PORT_CENTRAL=&\n", ""},
      {"PORT_CENTRAL=" + std::string(482, '9') + "&\n", std::string(482, '9')},
      {"PORT_CENTRAL=" + std::string(483, '9') + "&\n", "null"},  // would not fit the reply
  };
  for (const row& r : rows) {
    set_config(r.file);
    EXPECT_EQ(server.ask("OP=get_tavr_config&"), "RE=get_tavr_config&PORTTAVR=" + r.port + "&") << r.file;
  }
  fs::remove(server.path("velmorTAVR.config"));
  EXPECT_EQ(server.ask("OP=get_tavr_config&"), "RE=get_tavr_config&IPTAVR=null&PORTTAVR=null&CP=no_file&");
}

TEST_F(VersionConfigTest, ChangeRewritesEveryPortLineAndKeepsTheRest) {
  const std::string before = "# central configuration, PORT_CENTRAL below\nPORT_CENTRAL=" +
                             std::to_string(server.port()) + "&\nUIDBASE=null&DIR=UID32BASE&\n\nPORT_CENTRAL=1\nTEST=0&";
  set_config(before);
  ::chmod(server.path("velmorTAVR.config").c_str(), 0600);
  EXPECT_EQ(change("9100"), "RE=chg_tavr_config&STATUS=done&");
  EXPECT_EQ(config(),
            "PORT_CENTRAL=9100&\nPORT_CENTRAL=9100&\nUIDBASE=null&DIR=UID32BASE&\n\nPORT_CENTRAL=9100&\nTEST=0&\n");
  EXPECT_FALSE(file_exists(server.path("velmorSOLK.tmp")));
  struct stat st{};
  ASSERT_EQ(::stat(server.path("velmorTAVR.config").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(server.ask("OP=get_tavr_config&"), "RE=get_tavr_config&PORTTAVR=9100&");
  EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&") << "still listening on the old port";

  set_config("TEST=1&\nLISTBASE=null&DIR=LIST&\n");
  EXPECT_EQ(change("9200"), "RE=chg_tavr_config&STATUS=done&");
  EXPECT_EQ(config(), "TEST=1&\nLISTBASE=null&DIR=LIST&\n") << "no port line is added";
}

TEST_F(VersionConfigTest, ChangeRefusalsLeaveTheConfigurationAsItWas) {
  const std::string before = config();
  struct row {
    std::string request, reply;
  } rows[] = {
      {"OP=chg_tavr_config&", "RE=chg_tavr_config&STATUS=refused&CP=incorrect_qvector&"},
      {"OP=chg_tavr_config&PORTTAVR=9000", "RE=chg_tavr_config&STATUS=refused&CP=incorrect_qvector&"},
      {"OP=chg_tavr_config&PORTTAVR=9000\nTEST=1&", "RE=chg_tavr_config&STATUS=refused&CP=incorrect_qvector&"},
  };
  for (const row& r : rows) EXPECT_EQ(server.ask(r.request), r.reply) << r.request;
  EXPECT_EQ(config(), before);

  fs::create_directory(server.path("velmorSOLK.tmp"));
  EXPECT_EQ(change("9000"), "RE=chg_tavr_config&IPTAVR=null&PORTTAVR=null&CP=no_file[2]&");
  EXPECT_EQ(config(), before);
  fs::remove(server.path("velmorSOLK.tmp"));

  set_config("PORT_CENTRAL=1&\n" + std::string(2000, '#') + "\n");  // a line too long to copy whole
  EXPECT_EQ(change("9000"), "RE=chg_tavr_config&IPTAVR=null&PORTTAVR=null&CP=no_file[1]&");
  EXPECT_EQ(config(), "PORT_CENTRAL=1&\n" + std::string(2000, '#') + "\n");
  EXPECT_FALSE(file_exists(server.path("velmorSOLK.tmp")));

  fs::remove(server.path("velmorTAVR.config"));
  EXPECT_EQ(change("9000"), "RE=chg_tavr_config&IPTAVR=null&PORTTAVR=null&CP=no_file[1]&");
  EXPECT_FALSE(file_exists(server.path("velmorTAVR.config")));
  EXPECT_FALSE(file_exists(server.path("velmorSOLK.tmp")));
}

// Any text used to be written as the port line: other settings rode along
// (applied at the next start, since every key applies to any line holding its
// name), and an empty value wrote a port line that stopped the next start.
TEST_F(VersionConfigTest, ChangeNoLongerWritesAnythingButAPortNumber) {
  const std::string before = config();
  for (const char* bad : {"8809 PESELBASE DIR=../../victimdir", "", "0", "65536", "99999", "123456", "-1",
                          "+80", " 80", "80 ", "8o", "0x50", "\r80"}) {
    EXPECT_EQ(change(bad), "RE=chg_tavr_config&STATUS=refused&CP=incorrect_qvector&") << "'" << bad << "'";
    EXPECT_EQ(config(), before) << "'" << bad << "'";
  }
  for (const char* good : {"1", "65535", "8809"}) {
    EXPECT_EQ(change(good), "RE=chg_tavr_config&STATUS=done&") << good;
    EXPECT_EQ(server.ask("OP=get_tavr_config&"), std::string("RE=get_tavr_config&PORTTAVR=") + good + "&");
  }
}

TEST(ChangeConfigHandler, CallersOutsideTheLocalNetworkAreRefusedFirst) {
  testing_support::temp_dir dir;
  write_file(dir / "velmorTAVR.config", "PORT_CENTRAL=8809&\n");
  char here[4096];
  ASSERT_TRUE(::getcwd(here, sizeof here));
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  char buf[512];
  std::string replies[3];
  const char* peers[] = {"8.8.8.8", "172.16.0.1", "8.8.8.8"};
  const char* requests[] = {"OP=chg_tavr_config&PORTTAVR=9000&", "OP=chg_tavr_config&PORTTAVR=9000&",
                            "OP=chg_tavr_config&"};
  for (int i = 0; i < 3; ++i) {
    copy_text(buf, requests[i]);
    chg_tavr_config(buf, buf, peers[i]);
    replies[i] = buf;
  }
  std::string after_refusals = read_file(dir / "velmorTAVR.config");
  copy_text(buf, "OP=chg_tavr_config&PORTTAVR=9001&");
  chg_tavr_config(buf, buf, "10.0.0.7");
  std::string local = buf;
  ASSERT_EQ(::chdir(here), 0);
  for (const std::string& r : replies) EXPECT_EQ(r, "RE=chg_tavr_config&STATUS=refused&CP=wrong_lan_ip&");
  EXPECT_EQ(after_refusals, "PORT_CENTRAL=8809&\n");
  EXPECT_FALSE(testing_support::file_exists(dir / "velmorSOLK.tmp"));
  EXPECT_EQ(local, "RE=chg_tavr_config&STATUS=done&");
  EXPECT_EQ(read_file(dir / "velmorTAVR.config"), "PORT_CENTRAL=9001&\n");
}

}  // namespace
